/* Producer libraries for LogServer.
 *
 * A [Providers] entry of LogServer.conf hands the messages it claims to a
 * shared library instead of a log file:
 *
 *   [Providers]
 *   10.0.0.5|billing|core|=/opt/logserver/providers/forward.so tcp://collector:514
 *
 * The key selects the messages (address[:port]|application|module|prefix; an
 * empty prefix after the last "|" takes any prefix). The value is the
 * library's path, optionally followed by blanks and an argument text.
 *
 * The service loads the library with dlopen(RTLD_NOW | RTLD_LOCAL) when it
 * starts and looks up the three entry points below by these names. A library
 * that cannot be loaded, lacks LogProviderAddMessage, or whose
 * LogProviderInitialize returns non-zero is named once in the service log,
 * and its entry then claims nothing: those messages go to the log files.
 *
 * Threading and lifetime:
 * - LogProviderInitialize runs once per entry, on the service's main thread,
 *   before any message; LogProviderFinalize runs once per entry whose
 *   initialize succeeded, on the main thread, after the last
 *   LogProviderAddMessage of that entry has returned.
 * - LogProviderAddMessage runs on a thread of its own per entry (1 MiB of
 *   stack), one call at a time, in the order the messages arrived.
 * - A library named by several entries is loaded once: it receives one
 *   initialize per entry and must tell them apart itself (add-message says
 *   nothing about the entry), or refuse the second one.
 *
 * What a provider must not do: keep a text pointer after its call returns
 * (copy what it needs), throw C++ exceptions or call exit(), block for long
 * in add-message (messages queue up in memory behind it; hand slow work to a
 * thread of your own), or install signal handlers.
 */
#ifndef LOGSERVER_PROVIDER_H
#define LOGSERVER_PROVIDER_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define LOGSERVER_PROVIDER_EXPORT __attribute__((visibility("default")))
#else
#define LOGSERVER_PROVIDER_EXPORT
#endif

/* Called once with the entry's fields: its address, its port ("0" for an
 * entry without one), application, module and file prefix (possibly empty),
 * and the argument text after the library's path (possibly empty). All
 * strings are zero-terminated and valid only during the call. Return 0 to
 * accept the entry, anything else to refuse it. Optional. */
LOGSERVER_PROVIDER_EXPORT int LogProviderInitialize(const char *address, const char *port,
                                                    const char *application, const char *module,
                                                    const char *prefix, const char *argument);

/* One message. The times are days since 1899-12-30 00:00, the fraction being
 * the time of day: eventTime is the client's own time stamp without any time
 * zone conversion (0.0 when the message carries none, as syslog datagrams
 * do), serverTime the service's local time when it routed the message. text
 * is zero-terminated and valid only during the call; a text holding zero
 * bytes is seen up to the first of them. Required. */
LOGSERVER_PROVIDER_EXPORT void LogProviderAddMessage(double eventTime, double serverTime,
                                                     const char *text);

/* Called once when the entry is stopped. Optional. */
LOGSERVER_PROVIDER_EXPORT void LogProviderFinalize(void);

#ifdef __cplusplus
}
#endif

#endif /* LOGSERVER_PROVIDER_H */

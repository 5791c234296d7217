/* A minimal producer library: appends every message it gets to a file named
 * by the argument of its [Providers] entry.
 *
 *   cc -shared -fPIC -I/usr/local/include -o minimal_provider.so minimal_provider.c
 *
 *   [Providers]
 *   10.0.0.5|billing|core|=/opt/providers/minimal_provider.so /tmp/billing.txt
 */
#include <logserver/provider.h>

#include <stdio.h>

static FILE *out;

int LogProviderInitialize(const char *address, const char *port, const char *application,
                          const char *module, const char *prefix, const char *argument) {
  (void)address, (void)port, (void)application, (void)module, (void)prefix;
  if (out != NULL) return 1; /* one entry per loaded library */
  out = fopen(argument, "a");
  return out == NULL; /* non-zero refuses the entry: its messages go to files */
}

void LogProviderAddMessage(double eventTime, double serverTime, const char *text) {
  (void)serverTime;
  fprintf(out, "%.6f %s\n", eventTime, text); /* copy the text: it dies with the call */
  fflush(out);
}

void LogProviderFinalize(void) {
  fclose(out);
  out = NULL;
}

/* A producer library for the tests: records every call it receives.
 * Built three ways: complete, refusing in initialize (TEST_PROVIDER_REFUSE),
 * and without an add-message entry point (TEST_PROVIDER_NO_ADD). */
#include "logserver/provider.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char record[1 << 20];
static size_t used;

static void Record(const char *line) {
  pthread_mutex_lock(&lock);
  size_t n = strlen(line);
  if (used + n + 1 < sizeof record) {
    memcpy(record + used, line, n);
    used += n;
    record[used++] = '\n';
    record[used] = '\0';
  }
  pthread_mutex_unlock(&lock);
}

/* Everything recorded so far, one call a line; the caller copies it. */
LOGSERVER_PROVIDER_EXPORT size_t TestProviderRecord(char *buffer, size_t size) {
  pthread_mutex_lock(&lock);
  size_t n = used < size ? used : size;
  memcpy(buffer, record, n);
  pthread_mutex_unlock(&lock);
  return n;
}

int LogProviderInitialize(const char *address, const char *port, const char *application,
                          const char *module, const char *prefix, const char *argument) {
  char line[1024];
  snprintf(line, sizeof line, "init %s %s %s %s [%s] [%s]", address, port, application, module,
           prefix, argument);
  Record(line);
#ifdef TEST_PROVIDER_REFUSE
  return 7;
#else
  return 0;
#endif
}

#ifndef TEST_PROVIDER_NO_ADD
void LogProviderAddMessage(double eventTime, double serverTime, const char *text) {
  char line[1024];
  snprintf(line, sizeof line, "add %.3f %.3f %s", eventTime, serverTime, text);
  Record(line);
}
#endif

void LogProviderFinalize(void) { Record("fini"); }

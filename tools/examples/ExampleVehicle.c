/* An example vehicle-property library. Property states come from a text file, lines NAME=STATUS
 * (STATUS a number, passed on as it is); a property without a line is UNKNOWN. The file is named
 * by ZEM_EXAMPLE_VEHICLE_STATE, default $ZEM_SYSROOT/tmp/vehicle-state. initialize() reads it and
 * starts a thread that watches its folder (inotify, so files renamed over it are seen; a periodic
 * re-read when inotify is unavailable) and, for every line that changed, calls every registered
 * callback from that thread. releaseAPI() stops and joins the thread.
 * Thread safety: every entry point may be called from any thread; one mutex guards the states and
 * the registrations; callbacks run without it held, so a callback may call back into the library.
 * Bounds: the first 64 KiB of the file, lines of at most 255 bytes, names of at most 127 bytes,
 * at most 1024 properties; anything beyond is ignored. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "zem/VehiclePropertyLibrary.h"

#define MAX_FILE_BYTES 65536
#define MAX_LINE_BYTES 255
#define MAX_NAME_BYTES 127
#define MAX_PROPERTIES 1024
#define WATCH_TIMEOUT_MS 100

struct Property {
  char name[MAX_NAME_BYTES + 1];
  int status;
};

struct Registration {
  VehiclePropertyChangeCallback callback;
  void* context;
};

struct States {
  struct Property items[MAX_PROPERTIES];
  size_t count;
};

static pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;
/* Guarded by gMutex. */
static struct States gStates;
static struct Registration* gRegistrations;
static size_t gRegistrationCount;
static size_t gRegistrationCapacity;
static char gPath[PATH_MAX];
static int gRunning;
static pthread_t gThread;
static int gStopPipe[2] = {-1, -1};
static int gWatcher = -1; /* written by initialize before the thread starts, then the thread's */

/* A change to report: copied out of the states so callbacks run without the mutex. */
struct Change {
  char name[MAX_NAME_BYTES + 1];
  int status;
};

static void statePath(char* path, size_t size) {
  const char* configured = getenv("ZEM_EXAMPLE_VEHICLE_STATE");
  if (configured != NULL && configured[0] != '\0') {
    snprintf(path, size, "%s", configured);
    return;
  }
  const char* sysroot = getenv("ZEM_SYSROOT");
  snprintf(path, size, "%s/tmp/vehicle-state", sysroot != NULL ? sysroot : "");
}

/* Index of `name` in `states`, or -1. */
static int findState(const struct States* states, const char* name) {
  for (size_t i = 0; i < states->count; ++i) {
    if (strcmp(states->items[i].name, name) == 0) return (int)i;
  }
  return -1;
}

static void putState(struct States* states, const char* name, int status) {
  int index = findState(states, name);
  if (index < 0) {
    if (states->count >= MAX_PROPERTIES) return;
    index = (int)states->count++;
    snprintf(states->items[index].name, sizeof states->items[index].name, "%s", name);
  }
  states->items[index].status = status;
}

/* Parses one line "NAME=STATUS"; ignores anything else. */
static void parseLine(struct States* states, char* line) {
  char* equals = strchr(line, '=');
  if (equals == NULL || equals == line || (size_t)(equals - line) > MAX_NAME_BYTES) return;
  *equals = '\0';
  char* end = NULL;
  errno = 0;
  long status = strtol(equals + 1, &end, 10);
  if (end == equals + 1 || errno != 0 || status < INT_MIN || status > INT_MAX) return;
  while (*end == ' ' || *end == '\r' || *end == '\t') ++end;
  if (*end != '\0') return;
  putState(states, line, (int)status);
}

/* Reads the states file into `states` (empty when unreadable). */
static void readStates(const char* path, struct States* states) {
  states->count = 0;
  FILE* file = fopen(path, "re");
  if (file == NULL) return;
  static char content[MAX_FILE_BYTES + 1]; /* only the watcher thread or initialize read it */
  size_t size = fread(content, 1, MAX_FILE_BYTES, file);
  fclose(file);
  content[size] = '\0';
  char* start = content;
  while (start < content + size) {
    char* newline = memchr(start, '\n', (size_t)(content + size - start));
    char* stop = newline != NULL ? newline : content + size;
    *stop = '\0';
    if ((size_t)(stop - start) <= MAX_LINE_BYTES) parseLine(states, start);
    start = stop + 1;
  }
}

/* Calls every registered callback for each change, in registration order, without the mutex. */
static void notify(const struct Change* changes, size_t changeCount) {
  if (changeCount == 0) return;
  pthread_mutex_lock(&gMutex);
  size_t count = gRegistrationCount;
  struct Registration* copy = count > 0 ? malloc(count * sizeof *copy) : NULL;
  if (copy != NULL) memcpy(copy, gRegistrations, count * sizeof *copy);
  pthread_mutex_unlock(&gMutex);
  if (copy == NULL) return;
  for (size_t c = 0; c < changeCount; ++c) {
    for (size_t r = 0; r < count; ++r) {
      copy[r].callback(copy[r].context, changes[c].name, (_VehiclePropertyStatus)changes[c].status);
    }
  }
  free(copy);
}

/* Re-reads the file and reports every line that changed (a removed line as UNKNOWN). */
static void reload(void) {
  static struct States fresh; /* watcher thread only */
  static struct Change changes[2 * MAX_PROPERTIES];
  size_t changeCount = 0;
  readStates(gPath, &fresh);
  pthread_mutex_lock(&gMutex);
  for (size_t i = 0; i < fresh.count; ++i) {
    int old = findState(&gStates, fresh.items[i].name);
    if (old < 0 || gStates.items[old].status != fresh.items[i].status) {
      snprintf(changes[changeCount].name, sizeof changes[changeCount].name, "%s", fresh.items[i].name);
      changes[changeCount++].status = fresh.items[i].status;
    }
  }
  for (size_t i = 0; i < gStates.count; ++i) {
    if (findState(&fresh, gStates.items[i].name) < 0 && gStates.items[i].status != UNKNOWN) {
      snprintf(changes[changeCount].name, sizeof changes[changeCount].name, "%s", gStates.items[i].name);
      changes[changeCount++].status = UNKNOWN;
    }
  }
  gStates = fresh;
  pthread_mutex_unlock(&gMutex);
  notify(changes, changeCount);
}

/* An inotify descriptor watching the folder of `path` for files written, renamed or removed; -1
 * when inotify is unavailable or the folder does not exist yet. */
static int watchFolderOf(const char* path) {
  char folder[PATH_MAX];
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = strrchr(folder, '/');
  if (slash == NULL) {
    snprintf(folder, sizeof folder, ".");
  } else if (slash == folder) {
    folder[1] = '\0';
  } else {
    *slash = '\0';
  }
  int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watcher >= 0 &&
      inotify_add_watch(watcher, folder, IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE) < 0) {
    close(watcher);
    watcher = -1;
  }
  return watcher;
}

/* The watcher thread: re-reads the file on every event in its folder, or every WATCH_TIMEOUT_MS
 * without inotify, until the stop pipe is written. Owns gWatcher while it runs. */
static void* watch(void* argument) {
  (void)argument;
  for (;;) {
    struct pollfd fds[2] = {{gStopPipe[0], POLLIN, 0}, {gWatcher, POLLIN, 0}};
    int ready = poll(fds, gWatcher >= 0 ? 2 : 1, WATCH_TIMEOUT_MS);
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) break;
    if (gWatcher >= 0 && ready > 0 && (fds[1].revents & POLLIN) != 0) {
      char events[4096];
      while (read(gWatcher, events, sizeof events) > 0) {
      }
      reload();
    } else if (gWatcher < 0) {
      reload();
    }
  }
  if (gWatcher >= 0) close(gWatcher);
  gWatcher = -1;
  return NULL;
}

void initialize(void) {
  pthread_mutex_lock(&gMutex);
  if (gRunning) {
    pthread_mutex_unlock(&gMutex);
    return;
  }
  statePath(gPath, sizeof gPath);
  /* Watching before the first read: no change between the two is missed. */
  gWatcher = watchFolderOf(gPath);
  readStates(gPath, &gStates);
  if (pipe2(gStopPipe, O_CLOEXEC) == 0) {
    if (pthread_create(&gThread, NULL, &watch, NULL) == 0) {
      gRunning = 1;
    } else {
      close(gStopPipe[0]);
      close(gStopPipe[1]);
    }
  }
  if (!gRunning && gWatcher >= 0) {
    close(gWatcher);
    gWatcher = -1;
  }
  pthread_mutex_unlock(&gMutex);
}

void releaseAPI(void) {
  pthread_mutex_lock(&gMutex);
  int running = gRunning;
  gRunning = 0;
  pthread_mutex_unlock(&gMutex);
  if (!running) return;
  if (write(gStopPipe[1], "x", 1) < 0) {
    /* the thread still ends at its next wake-up only if the pipe works: nothing else to do */
  }
  if (pthread_equal(pthread_self(), gThread)) {
    pthread_detach(gThread); /* released from one of our own callbacks */
  } else {
    pthread_join(gThread, NULL);
    close(gStopPipe[0]);
    close(gStopPipe[1]);
  }
  pthread_mutex_lock(&gMutex);
  free(gRegistrations);
  gRegistrations = NULL;
  gRegistrationCount = gRegistrationCapacity = 0;
  pthread_mutex_unlock(&gMutex);
}

void addVehiclePropertyChangeCallback(VehiclePropertyChangeCallback callback, void* context) {
  if (callback == NULL) return;
  pthread_mutex_lock(&gMutex);
  if (gRegistrationCount == gRegistrationCapacity) {
    size_t capacity = gRegistrationCapacity == 0 ? 16 : 2 * gRegistrationCapacity;
    struct Registration* grown = realloc(gRegistrations, capacity * sizeof *grown);
    if (grown == NULL) {
      pthread_mutex_unlock(&gMutex);
      return;
    }
    gRegistrations = grown;
    gRegistrationCapacity = capacity;
  }
  gRegistrations[gRegistrationCount].callback = callback;
  gRegistrations[gRegistrationCount++].context = context;
  pthread_mutex_unlock(&gMutex);
}

/* Removes the earliest registration of `callback`, so removals match additions in order. */
void removeVehiclePropertyChangeCallback(VehiclePropertyChangeCallback callback) {
  pthread_mutex_lock(&gMutex);
  for (size_t i = 0; i < gRegistrationCount; ++i) {
    if (gRegistrations[i].callback == callback) {
      memmove(&gRegistrations[i], &gRegistrations[i + 1], (gRegistrationCount - i - 1) * sizeof *gRegistrations);
      --gRegistrationCount;
      break;
    }
  }
  pthread_mutex_unlock(&gMutex);
}

_VehiclePropertyStatus getVehicleProperty(const char* propertyName) {
  if (propertyName == NULL) return UNKNOWN;
  pthread_mutex_lock(&gMutex);
  int index = findState(&gStates, propertyName);
  int status = index < 0 ? UNKNOWN : gStates.items[index].status;
  pthread_mutex_unlock(&gMutex);
  return (_VehiclePropertyStatus)status;
}

/* For tests and benchmarks: sets the status of `propertyName` and calls every registered callback
 * for it synchronously, on the caller's thread. */
void zemExampleVehicleSetStatus(const char* propertyName, int status) {
  if (propertyName == NULL || strlen(propertyName) > MAX_NAME_BYTES) return;
  struct Change change;
  snprintf(change.name, sizeof change.name, "%s", propertyName);
  change.status = status;
  pthread_mutex_lock(&gMutex);
  putState(&gStates, propertyName, status);
  pthread_mutex_unlock(&gMutex);
  notify(&change, 1);
}

/* For tests: how many callback registrations the library holds. */
int zemExampleVehicleRegistrationCount(void) {
  pthread_mutex_lock(&gMutex);
  int count = (int)gRegistrationCount;
  pthread_mutex_unlock(&gMutex);
  return count;
}

/* For tests: 1 while the watcher thread runs (between initialize and releaseAPI), else 0. */
int zemExampleVehicleIsRunning(void) {
  pthread_mutex_lock(&gMutex);
  int running = gRunning;
  pthread_mutex_unlock(&gMutex);
  return running;
}

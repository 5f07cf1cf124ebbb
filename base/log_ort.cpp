// ONNX Runtime's lines through the library's logging path. Its default sink decorates
// lines with terminal colour escapes; this one writes the same fields as plain text.
#include <cstdio>
#include <ctime>

#include "base/log.h"

namespace ka::log {

void ORT_API_CALL ortLoggingFunction(void*, OrtLoggingLevel severity, const char* category,
                                     const char* logid, const char* codeLocation, const char* message) {
  Level level = Level::Debug;
  char tag = 'V';
  switch (severity) {
    case ORT_LOGGING_LEVEL_VERBOSE: break;
    case ORT_LOGGING_LEVEL_INFO: level = Level::Info, tag = 'I'; break;
    case ORT_LOGGING_LEVEL_WARNING: level = Level::Warning, tag = 'W'; break;
    case ORT_LOGGING_LEVEL_ERROR: level = Level::Error, tag = 'E'; break;
    case ORT_LOGGING_LEVEL_FATAL: level = Level::Error, tag = 'F'; break;
  }
  if (!enabled(level)) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  char stamp[40];
  const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  std::snprintf(stamp + n, sizeof stamp - n, ".%06ld", now.tv_nsec / 1000);
  line(level, "%s [%c:%s:%s, %s] %s\n", stamp, tag, category ? category : "", logid ? logid : "",
       codeLocation ? codeLocation : "", message ? message : "");
}

}  // namespace ka::log

// The C interface's log controls. They cannot fail and leave the error texts alone.
#include "ka/ka.h"
#include "base/log.h"

extern "C" {

void ka_set_log_callback(ka_log_fn fn, void* user) { ka::log::setCallback(fn, user); }

int ka_set_log_level(int level) { return ka::log::setThreshold(level); }

}  // extern "C"

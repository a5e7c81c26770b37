#include "ui/AppEvents.h"

namespace mixelot {

AppEvents& AppEvents::instance() {
  static AppEvents events;
  return events;
}

}  // namespace mixelot

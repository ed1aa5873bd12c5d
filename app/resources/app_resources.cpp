#include "app_resources.h"

#include <QtGlobal>

// Outside any namespace, as the resource initialiser requires.
static void registerImages() { Q_INIT_RESOURCE(velmora); }

void initAppResources() {
  static const bool registered = [] {
    registerImages();
    return true;
  }();
  (void)registered;
}

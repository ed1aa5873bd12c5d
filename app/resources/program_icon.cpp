#include "program_icon.h"

#include "app_resources.h"

QIcon programIcon() {
  initAppResources();
  QIcon icon;
  icon.addFile(QStringLiteral(":/velmora/icon32.xpm"), QSize(32, 32));
  icon.addFile(QStringLiteral(":/velmora/icon16.xpm"), QSize(16, 16));
  return icon;
}

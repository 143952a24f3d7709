#include "ui/app_paths.h"

#include <QCoreApplication>

namespace twf::ui {

namespace {
QString gAppFolder;
}

QString AppFolder() { return gAppFolder.isEmpty() ? QCoreApplication::applicationDirPath() : gAppFolder; }
void SetAppFolder(const QString& folder) { gAppFolder = folder; }

} // namespace twf::ui

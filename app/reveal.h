// Shows files, selected, in the desktop's file manager.
#pragma once

#include <QList>
#include <QUrl>

namespace tg {

// Asks the file manager over D-Bus (org.freedesktop.FileManager1.ShowItems); where none answers,
// opens the first file's folder. Returns at once; failures stay silent.
void revealInFileManager(const QList<QUrl>& files);

} // namespace tg

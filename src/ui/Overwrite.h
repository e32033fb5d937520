#pragma once
// The question before a save would replace what another copy of the tool wrote since the file
// was read: the last writer no longer wins silently.
#include "core/FileStamp.h"

#include <QString>

#include <filesystem>

class QWidget;

namespace kestrel::ui {

// True when path is still as stamp found it, is gone, or when the user agrees to overwrite it; false
// (nothing to write then) when the user answers No. shownName: the file as the user knows it.
bool MayOverwrite(QWidget* parent, const std::filesystem::path& path, const FileStamp& stamp, const QString& shownName);

} // namespace kestrel::ui

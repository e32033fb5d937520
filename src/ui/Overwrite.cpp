#include "ui/Overwrite.h"

#include "ui/Seam.h"

namespace kestrel::ui {

bool MayOverwrite(QWidget* parent, const std::filesystem::path& path, const FileStamp& stamp,
                  const QString& shownName) {
    // A file that is gone holds nothing to lose: the write creates it again (or fails with the
    // file system's error when its folder went too).
    const FileStamp now = StampOf(path);
    if (now == stamp || !now.exists)
        return true;
    return AskYesNo(
        parent,
        QStringLiteral("文件 %1 在读入后已被修改（可能是另一个副本保存的）。\n覆盖将丢失那些修改，是否覆盖？")
            .arg(shownName),
        QStringLiteral("警告"), Icon::Question, true);
}

} // namespace kestrel::ui

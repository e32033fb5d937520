#include "ui/Overwrite.h"

#include "ui/Seam.h"

namespace kestrel::ui {

bool MayOverwrite(QWidget* parent, const std::filesystem::path& path, const FileStamp& stamp,
                  const QString& shownName) {
    if (StampOf(path) == stamp)
        return true;
    return AskYesNo(
        parent,
        QStringLiteral("文件 %1 在读入后已被修改（可能是另一个副本保存的）。\n覆盖将丢失那些修改，是否覆盖？")
            .arg(shownName),
        QStringLiteral("警告"), Icon::Question, true);
}

} // namespace kestrel::ui

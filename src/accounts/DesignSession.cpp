#include "accounts/DesignSession.h"

#include "accounts/Login.h"
#include "accounts/Settings.h"
#include "accounts/UserTable.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <memory>

namespace kestrel {

void RunDesignSession() {
    // Qt's own windows (file dialogs, print preview, standard buttons) speak the tool's language
    // for the length of the call; the translator removes itself when it goes.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);

    auto users = std::make_unique<UserTable>();
    const int32_t count = UserTableLoad(*users);

    Login login(*users, count);
    if (ui::ExecDialog(&login) != QDialog::Accepted)
        return;

    const std::string lastFile = RunModuleEditor(login.UserName(), ReadLastFile());

    const FileStatus written = WriteLastFile(lastFile);
    if (!written)
        ui::ShowMessage(nullptr, ui::FromGbk(written.Text()));
}

} // namespace kestrel

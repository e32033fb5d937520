#include "accounts/entry/DesignSession.h"

#include "accounts/Settings.h"
#include "accounts/UserTable.h"
#include "accounts/windows/Login.h"
#include "editor/ModuleEditDlg.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <memory>

namespace kestrel {

void RunDesignSession() {
    // The tool is a guest in the host's process: no global translator or locale. Its windows
    // get the Chinese locale one by one where they open (ui::AdoptToolLocale).
    auto users = std::make_unique<UserTable>();
    const int32_t count = UserTableLoad(*users);

    Login login(*users, count);
    if (ui::ExecDialog(&login) != QDialog::Accepted)
        return;

    const std::string lastFile = RunModuleEditor(login.UserName(), ReadLastFile());

    const FileStatus written = WriteLastFile(lastFile);
    if (!written)
        ui::ShowMessage(nullptr, ui::FromGbk(written.error().Text()));
}

} // namespace kestrel

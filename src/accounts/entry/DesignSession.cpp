#include "accounts/entry/DesignSession.h"

#include "accounts/AccountHelper.h"
#include "accounts/Settings.h"
#include "accounts/UserAccess.h"
#include "accounts/windows/Login.h"
#include "editor/ModuleEditDlg.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

namespace kestrel {

void RunDesignSession() {
    // The tool is a guest in the host's process: no global translator or locale. Its windows
    // get the Chinese locale one by one where they open (ui::AdoptToolLocale).
    // The login password is kept for the helper while the call lasts, and no longer.
    struct Forget {
        ~Forget() { ForgetLoginPassword(); }
    } forget;
    Login login(UserAccess::Open());
    if (ui::ExecDialog(&login) != QDialog::Accepted)
        return;

    const std::string lastFile = RunModuleEditor(login.UserName(), ReadLastFile());

    const FileStatus written = WriteLastFile(lastFile);
    if (!written)
        ui::ShowMessage(nullptr, ui::FromGbk(written.error().Text()));
}

} // namespace kestrel

#pragma once
// How one operation reaches the user table beside the program: the table itself when this
// process may read it (the built-in one before the first save), through kestrel-account when the
// file exists but only the helper's group may read it, or not at all, when it cannot be read or
// is damaged: then nobody is let in and nothing is written over it.
#include "accounts/UserTable.h"
#include "core/Result.h"
#include "core/Status.h"

#include <memory>
#include <optional>
#include <string>

namespace kestrel {

class UserAccess {
public:
    // The given table (a copy).
    static UserAccess Of(const UserTable& table, int32_t count);
    // ProgramFilePath("kestrel.usr"), as this process finds it now.
    static UserAccess Open();

    // The login check. Through the helper, an unknown name and a wrong password are one answer,
    // kWrongPassword: the helper does not say which. Fails with the table's error, or the
    // helper's when it cannot be run.
    Result<LoginVerdict, FileError> Check(const std::string& name, const std::string& password) const;
    bool ThroughHelper() const { return m_throughHelper; }

private:
    std::shared_ptr<const UserTable> m_table;
    int32_t m_count = 0;
    std::optional<FileError> m_error;
    bool m_throughHelper = false;
};

// Whether a failed read of the table is one the helper can stand in for: the file exists but
// this process may not read it, and kestrel-account lies beside the program.
bool HelperMayReadFor(const FileError& error);

// The table through the helper, on behalf of SA with this call's login password
// (RememberedLoginPassword). A password that is not SA's fails with "密码错误！".
Result<int32_t, FileError> LoadUsersThroughHelper(UserTable& table);
// Saves the first count records through the helper; afterwards the remembered password is SA's
// new one, so that the next save of the call is let through as well.
FileStatus SaveUsersThroughHelper(UserTable& table, int32_t count);

} // namespace kestrel

#include "accounts/UserAccess.h"

#include "accounts/AccountHelper.h"
#include "core/FixedText.h"
#include "core/Gbk.h"

#include <cerrno>

namespace kestrel {

namespace {

FileError WrongPassword() {
    return FileError::Invalid(Utf8ToGbkLossy("密码错误！"));
}

} // namespace

UserAccess UserAccess::Of(const UserTable& table, int32_t count) {
    UserAccess access;
    access.m_table = std::make_shared<const UserTable>(table);
    access.m_count = count;
    return access;
}

UserAccess UserAccess::Open() {
    auto table = std::make_shared<UserTable>();
    const Result<int32_t, FileError> loaded = UserTableLoad(*table);
    if (loaded)
        return Of(*table, *loaded);
    UserAccess access;
    if (HelperMayReadFor(loaded.error()))
        access.m_throughHelper = true;
    else
        access.m_error = loaded.error();
    return access;
}

Result<LoginVerdict, FileError> UserAccess::Check(const std::string& name, const std::string& password) const {
    if (m_error)
        return Fail(*m_error);
    if (m_throughHelper) {
        const Result<bool, FileError> admitted = CheckLoginThroughHelper(name, password);
        if (!admitted)
            return Fail(admitted.error());
        return *admitted ? LoginVerdict::kAdmitted : LoginVerdict::kWrongPassword;
    }
    return CheckLogin(*m_table, m_count, name, password);
}

bool HelperMayReadFor(const FileError& error) {
    return error.IsIo() && error.osError == EACCES && AccountHelperPresent();
}

Result<int32_t, FileError> LoadUsersThroughHelper(UserTable& table) {
    const Result<std::optional<std::string>, FileError> bytes = ReadUsersThroughHelper(RememberedLoginPassword());
    if (!bytes)
        return Fail(bytes.error());
    if (!*bytes)
        return Fail(WrongPassword());
    if (FileStatus parsed = ParseUserTableBytes(table, **bytes); !parsed)
        return Fail(FileError::Invalid("damaged (" + parsed.error().message + ")").About(kUserFileName));
    return table.count;
}

FileStatus SaveUsersThroughHelper(UserTable& table, int32_t count) {
    if (count < 0 || count > kMaxUsers)
        return Fail(FileError::Invalid("user count out of range"));
    // Taken before the bytes scramble the texts.
    const int sa = FindUser(table, kBuiltInUser);
    const std::string next = sa >= 0 && sa < count ? FieldText(table.records[sa].password) : std::string();
    const Result<bool, FileError> written =
        WriteUsersThroughHelper(RememberedLoginPassword(), UserTableBytes(table, count));
    if (!written)
        return Fail(written.error());
    if (!*written)
        return Fail(WrongPassword());
    RememberLoginPassword(next);
    return Ok();
}

} // namespace kestrel

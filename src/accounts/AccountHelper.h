#pragma once
// The plug-in's side of kestrel-account, the small set-group-ID program beside the programs that
// answers questions about a user table this process may not read, without ever showing it.
#include "accounts/UserTable.h"
#include "core/Result.h"
#include "core/Status.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

inline constexpr char kAccountHelperName[] = "kestrel-account";

// Its exit codes.
inline constexpr int kHelperYes = 0;        // the password matches; read or write done
inline constexpr int kHelperNo = 1;         // it does not (nothing said about why)
inline constexpr int kHelperUnreadable = 2; // the table cannot be read, is damaged, or the write failed
inline constexpr int kHelperRefused = 3;    // misused, or not installed as it must be

// What a run of the helper gave back.
struct HelperReply {
    int exitCode = -1;
    std::string out;
    std::string err; // one line for exit codes 2 and 3
};

// Whether an executable kestrel-account lies beside the program (ProgramFilePath).
bool AccountHelperPresent();

// Runs kestrel-account beside the program with args, input on its standard input, in an empty
// environment. Fails, with one message naming the helper, when it cannot be run, is killed or
// refuses to run (kHelperRefused).
Result<HelperReply, FileError> RunAccountHelper(const std::vector<std::string>& args, std::string_view input);

// "check NAME": whether the name and password are a login of the table. Fails with the table's
// error (exit 2) or the helper's.
Result<bool, FileError> CheckLoginThroughHelper(const std::string& name, const std::string& password);

// "read": the table's bytes; nullopt when saPassword is not SA's.
Result<std::optional<std::string>, FileError> ReadUsersThroughHelper(const std::string& saPassword);

// "write": replaces the table with bytes; false when saPassword is not SA's.
Result<bool, FileError> WriteUsersThroughHelper(const std::string& saPassword, std::string_view bytes);

// The password typed at this call's login, which the user list hands the helper on SA's behalf.
// It lives only for the length of one call of the export: the session forgets it at its end.
void RememberLoginPassword(const std::string& password);
const std::string& RememberedLoginPassword();
void ForgetLoginPassword();

} // namespace kestrel

#pragma once
// The installed layout of the user table and its helper, in a temporary folder, for tests run
// as root: a throwaway group, a programs folder that is root's alone with a set-group-ID copy
// of kestrel-account and the link kestrel.usr, and a state folder only the group may enter.
#include "support/Files.h"

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel::testsupport {

class HelperLayout {
public:
    // helper: the kestrel-account to install. Without root nothing is made (Ready() is false).
    explicit HelperLayout(const std::filesystem::path& helper);
    ~HelperLayout();
    HelperLayout(const HelperLayout&) = delete;
    HelperLayout& operator=(const HelperLayout&) = delete;

    bool Ready() const { return m_gid != static_cast<gid_t>(-1); }
    gid_t Group() const { return m_gid; }
    std::filesystem::path Programs() const { return m_dir / "programs"; }
    std::filesystem::path State() const { return m_dir / "state"; }
    std::filesystem::path Table() const { return State() / "kestrel.usr"; }
    std::filesystem::path Helper() const { return Programs() / "kestrel-account"; }

    // The table as the package keeps it: these bytes, root:group, mode 0660.
    void WriteTable(std::string_view bytes) const;

private:
    TempDir m_dir;
    std::string m_groupName;
    gid_t m_gid = static_cast<gid_t>(-1);
};

// The bytes of a user file with these plain names and passwords.
std::string UserFileBytes(std::initializer_list<std::pair<std::string, std::string>> users);

} // namespace kestrel::testsupport

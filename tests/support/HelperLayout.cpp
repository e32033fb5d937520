#include "support/HelperLayout.h"

#include "accounts/UserTable.h"
#include "core/FixedText.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace kestrel::testsupport {

HelperLayout::HelperLayout(const std::filesystem::path& helper) {
    if (::geteuid() != 0)
        return;
    // One group per test program, so that runs side by side never share or remove another's.
    m_groupName = "kst-test-" + std::to_string(::getpid());
    if (std::system(("/usr/sbin/groupadd --system " + m_groupName).c_str()) != 0)
        throw std::runtime_error("groupadd " + m_groupName + " failed");
    const group* made = ::getgrnam(m_groupName.c_str());
    if (!made)
        throw std::runtime_error("no group " + m_groupName);
    m_gid = made->gr_gid;

    // The temporary folder itself must let nobody through to the programs.
    ::chmod(m_dir.Path().c_str(), 0755);
    std::filesystem::create_directory(Programs());
    std::filesystem::create_directory(State());
    ::chmod(Programs().c_str(), 0755);
    std::filesystem::copy_file(helper, Helper());
    if (::chown(Helper().c_str(), 0, m_gid) != 0 || ::chmod(Helper().c_str(), 02755) != 0 ||
        ::chown(State().c_str(), 0, m_gid) != 0 || ::chmod(State().c_str(), 02770) != 0)
        throw std::runtime_error("cannot set up the helper's modes");
    std::filesystem::create_symlink(Table(), Programs() / kUserFileName);
}

HelperLayout::~HelperLayout() {
    if (!m_groupName.empty()) [[maybe_unused]]
        const int removed = std::system(("/usr/sbin/groupdel " + m_groupName).c_str());
}

void HelperLayout::WriteTable(std::string_view bytes) const {
    WriteBytes(Table(), bytes);
    if (::chown(Table().c_str(), 0, m_gid) != 0 || ::chmod(Table().c_str(), 0660) != 0)
        throw std::runtime_error("cannot set up the table's modes");
}

std::string UserFileBytes(std::initializer_list<std::pair<std::string, std::string>> users) {
    UserTable table;
    for (const auto& [name, password] : users) {
        SetFieldText(table.records[table.count].name, name);
        SetFieldText(table.records[table.count].password, password);
        ++table.count;
    }
    return UserTableBytes(table, table.count);
}

} // namespace kestrel::testsupport

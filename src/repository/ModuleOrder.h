#pragma once
// The order in which modules are listed: the window's module list and every command that lists
// modules (check, lint, grep) take it from here, so that they show modules in the same order.
// The printed catalogue report keeps an order of its own, the user's locale's.
#include "repository/ModuleFile.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel {

// The line the window's module list shows for a module file (GBK).
std::string ModuleListText(std::string_view fileName, const ModuleHeader& header);

// What the list compares: a module line, or a bare file name where there is no line, with its
// Latin letters in lower case; double-byte characters compare by their bytes. Since a line
// starts with its file name, lines come in file-name order, letter case ignored.
std::string ModuleOrderKey(std::string_view line);

// Sorts items into list order by the line lineOf(item) gives; items with equal keys keep the
// order they came in (the directory's, for a listing).
template <typename T, typename LineOf> void SortInListOrder(std::vector<T>& items, LineOf lineOf) {
    std::vector<std::pair<std::string, std::size_t>> keys;
    keys.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        keys.emplace_back(ModuleOrderKey(lineOf(items[i])), i);
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (const auto& key : keys)
        sorted.push_back(std::move(items[key.second]));
    items = std::move(sorted);
}

} // namespace kestrel

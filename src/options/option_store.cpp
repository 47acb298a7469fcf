// The option library's store: every string and string list it hands out lives until the process
// ends, and running out of memory while storing ends the program.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "options/option_store.h"

namespace {

// Ends the program when memory runs out: the library has no way to report it otherwise, and a
// half-stored command line must not be acted upon.
void outOfMemory() {
    std::fputs("Error: out of memory!\n", stdout);
    std::fflush(stdout);
    std::_Exit(1);
}

// Every string the library has handed out. Deliberately never destroyed, so pointers into it stay
// valid even while other objects are torn down at exit.
std::deque<std::string>& stringStore() {
    static auto* store = new std::deque<std::string>;
    return *store;
}

// The string-list vectors the library has built, keyed by the address of their first slot. The
// entry count is kept beside each so that appending stays cheap for long lists.
struct ListEntry {
    std::vector<const char*> slots;  // the entries followed by one null
};
std::unordered_map<const char**, ListEntry>& listStore() {
    static auto* store = new std::unordered_map<const char**, ListEntry>;
    return *store;
}

}  // namespace

namespace optstore {

void ensureOutOfMemoryHandler() {
    if (std::get_new_handler() == nullptr) std::set_new_handler(outOfMemory);
}

const char* keepString(std::string_view text) {
    ensureOutOfMemoryHandler();
    return stringStore().emplace_back(text).c_str();
}

const char** appendToStringList(const char** list, const char* item) {
    ensureOutOfMemoryHandler();
    auto& lists = listStore();
    auto found = list != nullptr ? lists.find(list) : lists.end();
    ListEntry entry;
    if (found != lists.end()) {
        entry = std::move(found->second);
        lists.erase(found);
    } else if (list != nullptr) {
        // A vector the library did not build (a static default, say): continue it in a copy.
        for (const char** p = list; *p != nullptr; ++p) entry.slots.push_back(*p);
        entry.slots.push_back(nullptr);
    } else {
        entry.slots.push_back(nullptr);
    }
    entry.slots.back() = item;
    entry.slots.push_back(nullptr);
    const char** slots = entry.slots.data();
    lists.emplace(slots, std::move(entry));
    return slots;
}

}  // namespace optstore

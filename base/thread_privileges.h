#pragma once
// For its lifetime the calling thread impersonates this process with some of
// the process's privileges enabled, so that they serve the calls made in that
// scope and nothing else in the process. A privilege the process does not
// hold stays off (logged at WARNING); what it would have allowed then fails
// where it is tried.

#include <initializer_list>

namespace Base {

class ThreadPrivileges {
public:
    explicit ThreadPrivileges(std::initializer_list<const wchar_t*> names);
    ~ThreadPrivileges();
    ThreadPrivileges(const ThreadPrivileges&) = delete;
    ThreadPrivileges& operator=(const ThreadPrivileges&) = delete;

private:
    bool impersonating = false;
};

}  // namespace Base

#pragma once
#include <sys/types.h>

#include <string>

namespace kelvora::test {

// Bytes of tests/fixtures/<relativePath>; fails the current test when missing.
std::string ReadFixture(const std::string& relativePath);
// A fixture stored as UTF-8, converted to the core's GBK text.
std::string ReadFixtureAsGbk(const std::string& relativePath);
// GBK text of a UTF-8 literal, for readable test tables.
std::string G(const std::string& utf8);

// Whole files of a test's own making: empty text when unreadable.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// The id of a process that has ended: a child forked, exited and reaped, whose id
// the system does not hand out again for a long while.
pid_t EndedProcessId();

}  // namespace kelvora::test

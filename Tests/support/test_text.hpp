// Small text helpers the file-reading tests share.
#pragma once

#include <string>

namespace tooltest {

// The whole file as bytes; empty when it cannot be read.
std::string ReadText(const std::string& file);

// ASCII lower case, for names Windows compares without regard to case.
std::string Lower(std::string text);

} // namespace tooltest

// Small text helpers the file-reading tests share.
#pragma once

#include <string>

namespace tooltest {

// The whole file as bytes; empty when it cannot be read.
std::string ReadText(const std::string& file);

// Replaces the file with `text`, byte for byte.
void WriteText(const std::string& file, const std::string& text);

// ASCII lower case, for names Windows compares without regard to case.
std::string Lower(std::string text);

} // namespace tooltest

#pragma once
// Checks a release description and its signature held in local files.
#include <string>
#include <vector>

// 0 when the signature is valid and the description parses, else 1.
int RunSelfTest(const std::wstring& manifest_path, const std::wstring& signature_path);

// The whole file, or empty when it cannot be read in full, is empty, or is
// larger than 67,108,863 bytes.
std::vector<unsigned char> ReadWholeFile(const std::wstring& path);

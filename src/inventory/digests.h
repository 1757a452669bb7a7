// The digests the inventory makes: the SHA-256 of a file's content, as the read-ahead's looks
// compute it (platform::LookExtras), and the MD5 of the import hash. OpenSSL's libcrypto on POSIX
// systems (with the processor's SHA instructions where it has them), the platform's BCrypt on
// Windows.
#pragma once

#include "platform/platform.h"

// The digest as 64 lower-case hex digits; none when the content could not be read.
std::optional<std::string> Sha256OfContent(const platform::ReadContent& read);

// The MD5 of text as 32 lower-case hex digits, as import hashes are written; none where the
// digest could not be made.
std::optional<std::string> Md5Hex(std::string_view text);

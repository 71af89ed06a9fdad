// Base64 with the standard alphabet: carries undecoded header frames through JSON answers.
#pragma once

#include <string>

// Encodes `length` bytes; pads with "=" to a multiple of four characters.
std::string base64_encode(const unsigned char* bytes, unsigned int length);

// Decodes up to the first "=" or character outside the alphabet; a partial group of k
// characters yields its first k - 1 bytes. Never fails.
std::string base64_decode(const std::string& text);

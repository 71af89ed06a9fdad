// Text helpers shared by both readers and every writer: dates, field splitting, number
// fields, file base names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../recording/types.h"

// year-month-day hour:minute:second, every field after the year on two digits.
std::string _date_to_string(const kx_Config::DateStruct& date);

// File name without directory and without its last extension ("a/b.c.bin" -> "b.c").
std::string _file_basename(const std::string& path);

// Appends the pieces of text between delimiters to out (an empty text gives none, a final
// delimiter gives no empty last piece).
void _split(const std::string& text, char delimiter, std::vector<std::string>& out);

// Parses a number field (leading blanks, optional sign, digits; the rest ignored).
// False when there are no digits or the value is outside the int32 range.
bool _parse_number_field(const std::string& field, int32_t* value);

// Stores the low `count` bytes of the number in `field` big-endian at buf[offset] and
// returns the number. The field must have been validated with _parse_number_field.
int _str_to_bytes(std::string field, unsigned char* buf, int offset, int count);

// Big-endian (network order) byte helpers used by stored records.
#pragma once

#include <cstdint>

void SetTwo(unsigned char *p, uint16_t v);
uint16_t GetTwo(const unsigned char *p);
void SetFour(unsigned char *p, uint32_t v);
uint32_t GetFour(const unsigned char *p);

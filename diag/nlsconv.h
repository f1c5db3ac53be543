// The conversions of a catalog text. A catalog text is a printf
// format read from a file, so every place that reads its conversions (the
// signature check, the parser of stored bodies, the formatter) walks it here
// and nowhere else: a conversion this unit refuses never reaches printf.
#pragma once

#include <cstddef>

// One conversion at fmt[0] == '%'. On success returns 0, sets *used to its
// length, *cls to its argument class ('i' 'l' 'f' 's' 'w' 'p', or 0 for "%%")
// and *stars to the number of '*' values it takes. -1 for a conversion that is
// never handed to printf (%n, positional arguments, unknown letters, ...).
int nlsConvSpec(const char *fmt, size_t len, size_t *used, char *cls, int *stars);

// One conversion found by nlsNextConv.
struct nlsConv_t {
    size_t at;     // offset of its '%' (of the end of the text when none is left)
    size_t used;   // its length
    char cls;      // as nlsConvSpec
    int stars;     // as nlsConvSpec
};

// Steps through the text fmt[0..len), which ends earlier at a NUL, from *pos:
// 1 with *conv the next conversion and *pos just past it; 0 when no conversion
// is left; -1 when the next one is refused (a '%' at the end of the text
// included). The literal text before the conversion is always
// fmt[*pos (as passed)..conv->at).
int nlsNextConv(const char *fmt, size_t len, size_t *pos, nlsConv_t *conv);

// Argument class of the first conversion that takes a value in the
// NUL-terminated fmt; 0 when there is none or a conversion is refused.
char nlsFirstValueClass(const char *fmt);

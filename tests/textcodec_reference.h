// SPDX-License-Identifier: MIT
// The codec's converters written the straightforward way, one character at
// a time through the escape primitives: the oracle that the optimised
// converters are compared against.
#ifndef TEXTCODEC_REFERENCE_H
#define TEXTCODEC_REFERENCE_H

int reference_c_text_to_kel(char *out, const char *in, int capacity);
int reference_kel_text_to_raw(char *out, const char *in, int capacity);
int reference_raw_text_to_kel(char *out, const char *in, int capacity);

#endif

// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target for the pure text functions: cmd_src (the trigger-source words of the command
// trace) and toModifiedUtf8 (the sanitiser every exception message goes through). Outputs are
// allocated to the exact size the functions are given, so ASan sees any byte written past them.
//
// Input: 4 bytes of trigger-source bits, 1 byte choosing the sanitiser's output size, the rest is
// the text (cut at its first NUL, as a C string would be).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stream_input.h"
#include "util.h"

namespace {

[[noreturn]] void failure(const char *what, const char *detail)
{
    fprintf(stderr, "text_fuzz: %s: %s\n", what, detail);
    abort();
}

constexpr struct {
    unsigned bit;
    const char *word;
} kWords[] = {
    {TRIG_NONE, "none"},   {TRIG_NOW, "now"},     {TRIG_FOLLOW, "follow"}, {TRIG_TIME, "time"}, {TRIG_TIMER, "timer"},
    {TRIG_COUNT, "count"}, {TRIG_EXT, "ext"},     {TRIG_INT, "int"},       {TRIG_OTHER, "other"},
};

void checkCmdSrc(int src)
{
    char *buf = static_cast<char *>(malloc(CMD_SRC_BUFFER_SIZE));
    memset(buf, 0x5A, CMD_SRC_BUFFER_SIZE);
    if (cmd_src(src, buf) != buf) {
        failure("cmd_src", "did not return its buffer");
    }
    if (memchr(buf, '\0', CMD_SRC_BUFFER_SIZE) == nullptr) {
        failure("cmd_src", "no NUL within the buffer");
    }
    // The words of the set bits, in table order, joined by "|"; the fallback when no bit is known.
    char want[CMD_SRC_BUFFER_SIZE + 32] = "";
    unsigned known = 0;
    for (const auto &w : kWords) {
        if ((static_cast<unsigned>(src) & w.bit) != 0) {
            if (known++ != 0) {
                strcat(want, "|");
            }
            strcat(want, w.word);
        }
    }
    if (known == 0) {
        snprintf(want, sizeof want, "unknown(0x%08x)", static_cast<unsigned>(src));
    }
    if (strcmp(buf, want) != 0) {
        failure("cmd_src", buf);
    }
    free(buf);
}

/* Modified UTF-8 as the JVM reads it: no NUL byte, no four-byte forms, no overlong forms; a
 * surrogate only as a high one directly followed by a low one. */
void checkModifiedUtf8(const unsigned char *s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        if (b == 0) {
            failure("toModifiedUtf8", "NUL inside the output");
        }
        if (b < 0x80) {
            ++i;
            continue;
        }
        unsigned cp;
        size_t len;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2, cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3, cp = b & 0x0F;
        } else {
            failure("toModifiedUtf8", "invalid lead byte");
        }
        if (i + len > n) {
            failure("toModifiedUtf8", "sequence cut off");
        }
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                failure("toModifiedUtf8", "bad continuation byte");
            }
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 2 && cp < 0x80)) {
            failure("toModifiedUtf8", "overlong form");
        }
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            failure("toModifiedUtf8", "low surrogate without a high one");
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            // The low half must follow at once.
            if (i + 6 > n || s[i + 3] != 0xED || (s[i + 4] & 0xF0) != 0xB0) {
                failure("toModifiedUtf8", "high surrogate without a low one");
            }
            i += 6;
            continue;
        }
        i += len;
    }
}

/* The ASCII bytes of a text, in order. */
size_t asciiOf(const char *s, size_t n, char *out)
{
    size_t m = 0;
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            out[m++] = s[i];
        }
    }
    return m;
}

void checkSanitiser(const char *text, size_t outSize)
{
    char *out = static_cast<char *>(malloc(outSize));
    const size_t n = toModifiedUtf8(text, out, outSize);
    if (n >= outSize || out[n] != '\0' || strlen(out) != n) {
        failure("toModifiedUtf8", "length does not match the output");
    }
    checkModifiedUtf8(reinterpret_cast<const unsigned char *>(out), n);

    // ASCII passes unchanged: the output's ASCII is a prefix of the input's, all of it when the
    // output had room for the worst case (three bytes per input byte).
    const size_t len = strlen(text);
    char *inAscii = static_cast<char *>(malloc(len + 1));
    char *outAscii = static_cast<char *>(malloc(n + 1));
    const size_t a = asciiOf(text, len, inAscii);
    const size_t b = asciiOf(out, n, outAscii);
    if (b > a || memcmp(inAscii, outAscii, b) != 0) {
        failure("toModifiedUtf8", "ASCII changed");
    }
    if (outSize > 3 * len && b != a) {
        failure("toModifiedUtf8", "ASCII lost although the output had room");
    }
    bool allAscii = a == len;
    if (allAscii && (n != (len < outSize ? len : outSize - 1) || memcmp(out, text, n) != 0)) {
        failure("toModifiedUtf8", "ASCII text not kept byte for byte");
    }
    free(outAscii);
    free(inAscii);
    free(out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5) {
        return 0;
    }
    int src;
    memcpy(&src, data, sizeof src);
    checkCmdSrc(src);

    // Output sizes 1..256, and the worst case for the text, so both cut and whole outputs occur.
    const size_t textLen = size - 5;
    char *text = static_cast<char *>(malloc(textLen + 1));
    memcpy(text, data + 5, textLen);
    text[textLen] = '\0';
    const size_t outSize = data[4] == 0 ? 3 * textLen + 1 : data[4];
    checkSanitiser(text, outSize);
    free(text);
    return 0;
}

// Growable message buffers.
#include "diag/nlsbuf.h"

#include <cstring>

#include "base/kelmem.h"

const unsigned nlsBuffer::INIT_SIZE_KB = 4;
const unsigned nlsBuffer::INC_SIZE_KB = 4;

nlsBuffer::nlsBuffer(unsigned kb)
{
    sizeKB = kb < INIT_SIZE_KB ? INIT_SIZE_KB : kb;
    buffer = static_cast<char *>(KEL_CALLOC(static_cast<int>(sizeKB), 1024));
    if (buffer == nullptr)
        sizeKB = 0;
    msgLen = 0;
}

nlsBuffer::~nlsBuffer()
{
    if (buffer != nullptr)
        KEL_FREE(buffer);
    buffer = nullptr;
}

void nlsBuffer::checkBuffer(long needed)
{
    if (buffer == nullptr || needed < 0 || static_cast<uint64_t>(sizeKB) * 1024 >= static_cast<uint64_t>(needed))
        return;
    uint64_t bytes = (static_cast<uint64_t>(needed) / 4096 + 1) * 4096;
    char *grown = static_cast<char *>(KEL_REALLOC(buffer, bytes));
    if (grown == nullptr) {
        KEL_FREE(buffer);
        buffer = nullptr;
        sizeKB = 0;
        return;
    }
    buffer = grown;
    sizeKB = static_cast<uint32_t>(bytes / 1024);
}

int nlsCharBuffer::addToBuffer(const char *text, long len)
{
    if (text == nullptr)
        text = "";
    if (len <= 0)
        len = static_cast<long>(strlen(text));
    checkBuffer(len + static_cast<long>(msgLen) + 1);
    if (buffer == nullptr) {
        msgLen = 0;
        return 0;
    }
    memcpy(buffer + msgLen, text, static_cast<size_t>(len));
    msgLen += static_cast<uint32_t>(len);
    buffer[msgLen] = '\0';
    return static_cast<int>(msgLen);
}

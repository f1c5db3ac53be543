// Growable output buffers into which a finished message is written.
#pragma once

#include <cstdint>

class nlsBuffer {
public:
    static const unsigned INIT_SIZE_KB;
    static const unsigned INC_SIZE_KB;

    explicit nlsBuffer(unsigned sizeKB);
    virtual ~nlsBuffer();
    nlsBuffer(const nlsBuffer &) = delete;
    nlsBuffer &operator=(const nlsBuffer &) = delete;

    virtual bool isChar() const = 0;
    // Appends len bytes of text (len 0: its whole length); returns the total text length,
    // 0 when the buffer could not grow.
    virtual int addToBuffer(const char *text, long len) = 0;

    char *getBuffer() { return buffer; }
    unsigned getMsgLen() const { return msgLen; }

protected:
    void checkBuffer(long needed);

    char *buffer = nullptr;
    uint32_t sizeKB = 0;
    uint32_t msgLen = 0;
};

class nlsCharBuffer : public nlsBuffer {
public:
    explicit nlsCharBuffer(unsigned sizeKB) : nlsBuffer(sizeKB) {}
    bool isChar() const override { return true; }
    int addToBuffer(const char *text, long len) override;
};

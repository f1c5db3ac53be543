// The older list interface to the password file: a record read from a
// stream, the list of every record with the ones a change replaces marked,
// and the file header written to a stream. The reader and writer of pssec do
// not use it; it is kept for the client programs built on it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "store/pswdrec.h"

struct LinkedList_t;   // base/dslnklst.h

// Room the list builder gives fields 1 to 5 (without the NUL).
inline constexpr uint32_t PSWD_LIST_FIELD_MAX[5] = {67, 67, 67, 83, 80};

// One entry of the list that MakePswdList builds.
struct pswdListEnt {
    int replace;                               // 1: the current write or delete drops it
    unsigned char hdr[PSWD_RECHDR_SIZE];       // the record header as stored
    uint32_t dataLen;                          // sum of the five field lengths
    char *data;                                // the five fields in file order, plus one byte
};

// Reads the next record into hdr (PSWD_RECHDR_SIZE bytes) and five buffers of
// PSWD_FIELD_BUF (68) bytes each, every field ended with a NUL. Returns the
// bytes read, 0 at the end of the records and for a record that is cut short
// or has a field that does not fit.
unsigned int psReadRecordFromPswdFile(FILE *stream, unsigned char *hdr, char *f1, char *f2, char *f3, char *f4,
                                      char *f5);

// Builds the list of every record from the current position of stream
// (entries of pswdListEnt, destroyed with DelListEnt). Marks the records of
// (type, server, node) for replacement (types 3 to 5: of type and server), and
// sets *savedInd when a saved key record of server and node exists. 1 on
// success; 0 when memory is short, the stream fails, a record is damaged or
// bytes follow the last record.
int MakePswdList(LinkedList_t **listP, FILE *stream, unsigned char type, const char *server, const char *node,
                 int *savedInd);

// Writes the PSWD_HEADER_SIZE header bytes to a stream: the text of msgNum,
// blank-filled. Returns 0 or 165 for a short write.
int psWriteHeader(FILE *stream, int msgNum);

// Element destructor of the record list: zeroes and frees the data, frees the entry.
void DelListEnt(void *entry);

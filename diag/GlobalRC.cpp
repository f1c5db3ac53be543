#include "diag/GlobalRC.h"

#include <algorithm>
#include <iterator>

#include "base/testflags.h"
#include "diag/nlsfmt.h"
#include "diag/nlsmsg.h"
#include "diag/trace.h"

static const char trSrcFile[] = "GlobalRC";

GlobalRC *GlobalRC::instanceP = nullptr;
GlobalRC *gRC = nullptr;

namespace {

// Messages that only tell the user something worth a look: level 4.
const int level4Msgs[] = {
    326,   1086,  1115,  1136,  1147,  1154,  1159,  1228,  1242,  1243,  1269,  1413,  1469,
    1753,  1754,  1802,  1803,  1804,  1946,  1947,  3008,  5154,  5279,  5823,  14005, 14007,
    14008, 14017, 14018, 14025, 14037, 14042, 14044, 14045, 14084, 14091, 14973, 14987,
};

// Set while this thread issues the accumulator's own report: that report
// passes through the message formatter, which calls set() again, and with a
// lock that cannot be taken this would otherwise never end.
thread_local bool reporting = false;

int levelBySeverity(int msgNum)
{
    switch (nlGetMsgSev(msgNum)) {
    case NLS_SEV_K:
    case NLS_SEV_E:
    case NLS_SEV_S:
        return 12;
    case NLS_SEV_W:
        return 8;
    default:
        return 0;
    }
}

} // namespace

int GlobalRC::levelOf(int msgNum)
{
    static_assert(std::size(level4Msgs) == 38);
    if (std::binary_search(std::begin(level4Msgs), std::end(level4Msgs), msgNum))
        return 4;
    if (msgNum == 2046) {
        if (!TEST_AUDITLOGRC.set)
            return 12;
        return TEST_AUDITLOGRC.value > 0 ? TEST_AUDITLOGRC.value : 8;
    }
    if (msgNum == 9999)
        return 12;
    return levelBySeverity(msgNum);
}

GlobalRC *GlobalRC::Instance()
{
    if (instanceP == nullptr)
        instanceP = new GlobalRC();
    return instanceP;
}

void GlobalRC::Destroy() { delete instanceP; }

GlobalRC::GlobalRC() { mutex = pkCreateMutex(); }

GlobalRC::~GlobalRC()
{
    if (mutex != nullptr) {
        pkDestroyMutex(mutex);
        mutex = nullptr;
    }
    if (instanceP == this)
        instanceP = nullptr;
    if (gRC == this)
        gRC = nullptr;   // no caller may raise a destroyed accumulator
}

void GlobalRC::reportMutexFailure(unsigned line, const char *text)
{
    if (TR_EXTRC)
        trPrintf(trSrcFile, line, "%s", text);
    reporting = true;
    nlprintf(9999, trSrcFile, line, text);
    reporting = false;
}

int GlobalRC::set(int msgNum)
{
    if (reporting)
        return 0;
    if (TR_EXTRC_DETAIL)
        trPrintf(trSrcFile, __LINE__, "GlobalrC::set() entry.\n");
    // The level is looked up before the lock is taken: the lookup takes the
    // message system's lock, and the message system raises this accumulator
    // while it holds that lock, so taking them in the other order here could
    // leave two threads waiting for each other.
    int msgRC = levelOf(msgNum);
    if (pkAcquireMutex(mutex) != 0) {
        reportMutexFailure(__LINE__, "Unable to acquire global rc mutex\n");
        if (TR_EXTRC_DETAIL)
            trPrintf(trSrcFile, __LINE__, "GlobalrC::set() exit.\n");
        return 0;
    }
    if (TR_EXTRC_DETAIL) {
        trPrintf(trSrcFile, __LINE__, "msgNum = %d.\n", msgNum);
        trPrintf(trSrcFile, __LINE__, "Before processing, rc = %d, rcMacroMax = %d, rcMax = %d.\n", rc, rcMacroMax,
                 rcMax);
    }
    if (TR_EXTRC_DETAIL)
        trPrintf(trSrcFile, __LINE__, "msgRC = %d.\n", msgRC);

    int result = 0;
    if (msgRC > rc) {
        if (TR_EXTRC) {
            trPrintf(trSrcFile, __LINE__, "msgNum = %d changed the Global RC.\n", msgNum);
            trPrintf(trSrcFile, __LINE__, "Old values: rc = %d, rcMacroMax = %d, rcMax = %d.\n", rc, rcMacroMax,
                     rcMax);
        }
        rc = msgRC;
        rcMacroMax = std::max(rcMacroMax, msgRC);
        rcMax = std::max(rcMax, msgRC);
        if (TR_EXTRC)
            trPrintf(trSrcFile, __LINE__, "New values: rc = %d, rcMacroMax = %d, rcMax = %d.\n", rc, rcMacroMax,
                     rcMax);
        result = 1;
    }
    if (TR_EXTRC_DETAIL)
        trPrintf(trSrcFile, __LINE__, "After processing, rc = %d, rcMacroMax = %d, rcMax = %d.\n", rc, rcMacroMax,
                 rcMax);

    if (pkReleaseMutex(mutex) != 0) {
        reportMutexFailure(__LINE__, "Unable to release global rc mutex\n");
        result = 0;
    }
    if (TR_EXTRC_DETAIL)
        trPrintf(trSrcFile, __LINE__, "GlobalrC::set() exit.\n");
    return result;
}

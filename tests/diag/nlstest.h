// Shared set-up of the message tests: a fresh message object whose output
// routines record what is shown, the build's catalogs, and fixture catalogs
// compiled at test time.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "diag/nlsinit.h"
#include "diag/nlsmsg.h"

namespace nlstest {

inline const std::string kCatalogs = KEL_BINARY_DIR "/catalogs";

struct Shown {
    int severity;
    std::string text;
};
inline std::vector<Shown> shown;

template <int Sev>
int record(char *text)
{
    shown.push_back({Sev, text});
    return 0;
}
inline nlsOutFn_t recorders[9] = {record<0>, record<1>, record<2>, record<3>, record<4>,
                                  record<5>, record<6>, record<7>, record<8>};

inline std::string joined()
{
    std::string all;
    for (const Shown &s : shown)
        all += s.text;
    return all;
}

// A fresh temporary directory, removed by the caller's fixture.
inline std::string tempDir()
{
    char tmpl[] = "/tmp/nlstest.XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d != nullptr ? d : "";
}

inline int run(const std::string &cmd) { return system(cmd.c_str()); }

// Writes a catalog dir/lang/kelclientV3.cat whose set 1 holds the given raw
// texts byte for byte (control bytes escaped for gencat).
inline bool writeRawCatalog(const std::string &dir, const std::string &lang,
                            const std::map<unsigned, std::string> &texts)
{
    std::string sub = dir + "/" + lang;
    if (run("mkdir -p '" + sub + "'") != 0)
        return false;
    std::ofstream src(sub + "/src.gencat", std::ios::binary);
    src << "$set 1\n";
    for (const auto &[num, text] : texts) {
        src << num << ' ';
        for (unsigned char c : text) {
            if (c == '\\') {
                src << "\\\\";
            } else if (c < 0x20 || c == 0x7f) {
                char oct[8];
                snprintf(oct, sizeof oct, "\\%03o", c);
                src << oct;
            } else {
                src << static_cast<char>(c);
            }
        }
        src << '\n';
    }
    src.close();
    return run("cd '" + sub + "' && rm -f kelclientV3.cat && LC_ALL=C.UTF-8 /usr/bin/gencat kelclientV3.cat src.gencat") == 0;
}

// Compiles a message source with the project's compiler into dir/lang/kelclientV3.cat.
inline bool writeSourceCatalog(const std::string &dir, const std::string &lang, const std::string &source)
{
    std::string sub = dir + "/" + lang;
    if (run("mkdir -p '" + sub + "'") != 0)
        return false;
    std::ofstream(sub + "/src.msg") << source;
    return run(std::string("cd '") + sub + "' && " KEL_MSGC " src.msg src.gencat && rm -f kelclientV3.cat && " +
               "LC_ALL=C.UTF-8 /usr/bin/gencat kelclientV3.cat src.gencat") == 0;
}

// Environment and message object for one test; LANG as given (null: unset).
class NlsEnv : public ::testing::Test {
protected:
    void TearDown() override
    {
        destroyNlsGlobalObject();
        nlsSetSigTable(nullptr, 0);
        shown.clear();
        if (!tmp.empty())
            run("rm -rf '" + tmp + "'");
        unsetenv("LANG");
        unsetenv("LC_ALL");
        setlocale(LC_ALL, "C");
    }

    nlsObject_t *create(const char *lang)
    {
        shown.clear();
        unsetenv("LC_ALL");
        if (lang != nullptr)
            setenv("LANG", lang, 1);
        else
            unsetenv("LANG");
        destroyNlsGlobalObject();
        return newNlsGlobalObject(recorders, 1);
    }

    // The agent's start-up: object from LANG, then nlinit with the language argument.
    int start(const char *envLang, const std::string &dir, const char *langArg = "EN", cliType_t type = 0)
    {
        obj = create(envLang);
        return nlinit(langArg, 5, dir.c_str(), type, 1, 1, 1, &info, nullptr);
    }

    const std::string &scratch()
    {
        if (tmp.empty())
            tmp = tempDir();
        return tmp;
    }

    nlsObject_t *obj = nullptr;
    nlsReturnInfo_t info = {};
    std::string tmp;
};

}  // namespace nlstest

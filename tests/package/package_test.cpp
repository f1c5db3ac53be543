// What is installed, as an administrator and a caller meet it: the man pages
// pass the linter, the bash completion completes, a staged install holds
// what callers build against and the uninstall script takes it away again;
// and (DebianPackage, run last and alone by scripts/test.sh) the package
// itself, installed with dpkg on this machine, used, and purged.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/pwfixture.h"
#include "tests/tools/toolrun.h"

namespace {

using pwfix::TempDir;

bool has(const std::string &text, const std::string &phrase)
{
    return text.find(phrase) != std::string::npos;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty())
            out.push_back(l);
    return out;
}

// An example program of docs/client-library.md, exactly as printed there:
// name is "c", "cpp", "c-keys" or "c-generate"; the fence names the language.
std::string exampleSource(const std::string &name)
{
    const std::string doc = pwfix::readFile(KEL_SOURCE_DIR "/docs/client-library.md");
    const std::string lang = name == "cpp" ? "cpp" : "c";
    const std::string open = "<!-- example " + name + " begin -->\n```" + lang + "\n";
    const size_t begin = doc.find(open), end = doc.find("```\n<!-- example " + name + " end -->");
    if (begin == std::string::npos || end == std::string::npos || end < begin)
        return "";
    const size_t from = begin + open.size();
    return doc.substr(from, end - from);
}

// Writes both examples and a CMake project that finds the package and builds
// them: kcexample (C++) and kcexample-c (C).
void writeExample(const TempDir &tmp)
{
    pwfix::writeFile(tmp.file("kcexample.cpp"), exampleSource("cpp"), 0644);
    pwfix::writeFile(tmp.file("kcexample.c"), exampleSource("c"), 0644);
    pwfix::writeFile(tmp.file("CMakeLists.txt"),
                     "cmake_minimum_required(VERSION 3.20)\n"
                     "project(kcexample C CXX)\n"
                     "find_package(kelvlx 1 REQUIRED)\n"
                     "add_executable(kcexample kcexample.cpp)\n"
                     "target_compile_features(kcexample PRIVATE cxx_std_17)\n"
                     "target_link_libraries(kcexample PRIVATE kelvlx::client)\n"
                     "add_executable(kcexample-c kcexample.c)\n"
                     "set_target_properties(kcexample-c PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)\n"
                     "target_link_libraries(kcexample-c PRIVATE kelvlx::client)\n",
                     0644);
}

// How each example is compiled with the flags pkg-config gives: the C one
// with the C compiler alone, strictly.
std::string cxxExampleCommand(const TempDir &tmp, const std::string &out)
{
    return "c++ -std=c++17 -Wall -Wextra -Werror -o " + out + " " + tmp.file("kcexample.cpp");
}
std::string cExampleCommand(const TempDir &tmp, const std::string &out)
{
    return "cc -std=c99 -pedantic -Wall -Wextra -Werror -o " + out + " " + tmp.file("kcexample.c");
}

// The man pages of the tools and files, and one of section 3 for every
// function of the caller's library.
std::vector<std::string> manPages()
{
    std::vector<std::string> pages = {"kelvlx.8", "keladm.8", "kelcall.1", "kelvlx-passwords.5"};
    ToolRun r = run(TempDir(), "ls " KEL_BINARY_DIR "/man | grep '\\.3$'");
    for (const auto &l : lines(r.out))
        pages.push_back(l);
    return pages;
}

TEST(ManPages, PassTheLinterWithoutAWarning)
{
    if (system("command -v mandoc >/dev/null") != 0)
        GTEST_SKIP() << "mandoc is not installed (scripts/deps.sh installs it)";
    TempDir tmp;
    const std::vector<std::string> pages = manPages();
    for (const std::string &page : pages) {
        ToolRun r = run(tmp, "mandoc -T lint -W warning " KEL_BINARY_DIR "/man/" + page);
        EXPECT_EQ(0, r.status) << page;
        EXPECT_EQ("", r.out + r.err) << page;
    }
    // Every function the header declares has its page.
    const std::string header = pwfix::readFile(KEL_SOURCE_DIR "/include/kelvlx/kelclient.h");
    for (size_t at = header.find("\nint kc_"); at != std::string::npos; at = header.find("\nint kc_", at + 1)) {
        const size_t name = at + 5, paren = header.find('(', name);
        const std::string fn = header.substr(name, paren - name);
        EXPECT_NE(pages.end(), std::find(pages.begin(), pages.end(), fn + ".3")) << fn << " has no man page";
    }
}

// The completion functions, driven as bash-completion drives them (its
// helpers stood in for by the least that the functions use).
TEST(BashCompletion, CompletesCommandsAndOptions)
{
    struct Case {
        const char *line;       // the words typed, the last one being completed
        const char *expected;   // the candidates, blank-separated
    } cases[] = {
        {"keladm li", "list"},
        {"keladm ''", "set-server set-key list delete check"},
        {"keladm --dir /x de", "delete"},
        {"keladm delete ''", "server key"},
        {"keladm list --format ''", "table tsv json"},
        {"keladm --fo", "--format="},
        {"keladm set-server ''", ""},
        {"kelcall --node N --server S ''", "encipher decipher keys generate"},
        {"kelcall --cipher ''", "best des aes"},
        {"kelcall --key", "--key-fd="},
        {"kelcall --node ''", ""},
    };
    TempDir tmp;
    const std::string stubs =
        "_init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; "
        "words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; split=false; }\n"
        "_filedir() { COMPREPLY=(); }\n"
        "compopt() { :; }\n"
        "source '" KEL_SOURCE_DIR "/tools/kelvlx.bash-completion'\n";
    for (const auto &c : cases) {
        const std::string script = stubs + "COMP_WORDS=(" + c.line + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n" +
                                   "_${COMP_WORDS[0]}\necho \"${COMPREPLY[*]}\"\n";
        pwfix::writeFile(tmp.file("complete.sh"), script, 0644);
        ToolRun r = run(tmp, "bash " + tmp.file("complete.sh"));
        EXPECT_EQ(0, r.status) << c.line << ": " << r.err;
        EXPECT_EQ(std::string(c.expected) + "\n", r.out) << c.line;
    }
}

// What an install may change outside its destination: the groups, and /opt,
// where the crypto library's default directory is.
std::string machineState(const TempDir &tmp)
{
    return run(tmp, "cat /etc/group; find /opt -printf '%p %m %U %G %s %T@\\n' 2>/dev/null | sort").out;
}

// A --prefix install of this build into a temporary directory, as an
// integrator stages the library for a build: it writes only there (no group,
// nothing in /opt, no set-user-id bit), the staged tree is relocatable, and
// every example of docs/client-library.md builds against it (pkg-config,
// the static pkg-config line, find_package in a C-only project) and runs
// there. The uninstall script then takes every file away again.
TEST(StagedInstall, WritesOnlyBelowItsPrefixAndCallersBuildAndRunTheExamples)
{
#ifdef KEL_SANITIZE_BUILD
    GTEST_SKIP() << "a sanitizer build is not installed";
#endif
    for (const char *name : {"c", "cpp", "c-keys", "c-generate"})
        ASSERT_FALSE(exampleSource(name).empty()) << "no example " << name << " in docs/client-library.md";
    TempDir tmp, stage;
    const std::string machineBefore = machineState(tmp);
    ToolRun r = run(tmp, "cmake --install " KEL_BINARY_DIR " --prefix '" + stage.path() + "'");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(machineBefore, machineState(tmp)) << "the install changed /etc/group or /opt";
    const std::string root = stage.path();
    const std::string libdir = root + "/" KEL_INSTALL_LIBDIR;
    struct stat st;
    ASSERT_EQ(0, stat((root + "/" KEL_AGENT_DEST "/kelvlx").c_str(), &st));
    EXPECT_EQ(0u, st.st_mode & (S_ISUID | S_ISGID)) << "a staged agent is not set-user-id";

    r = run(tmp, "cd '" + stage.path() + "' && find . ! -type d | sed 's|^\\.||' | sort");
    const std::vector<std::string> staged = lines(r.out);
    ASSERT_FALSE(staged.empty());
    std::cout << "[ STAGED   ] " << staged.size() << " files below the prefix:\n";
    for (const auto &f : staged)
        std::cout << "[ STAGED   ] " << f << "\n";

    // The examples, and a CMake project in C alone that links the archive.
    writeExample(tmp);
    pwfix::writeFile(tmp.file("kcexample-keys.c"), exampleSource("c-keys"), 0644);
    pwfix::writeFile(tmp.file("kcexample-generate.c"), exampleSource("c-generate"), 0644);
    TempDir conly;
    for (const char *name : {"kcexample.c", "kcexample-keys.c", "kcexample-generate.c"})
        pwfix::writeFile(conly.file(name), pwfix::readFile(tmp.file(name)), 0644);
    pwfix::writeFile(conly.file("CMakeLists.txt"),
                     "cmake_minimum_required(VERSION 3.20)\n"
                     "project(kcstatic C)\n"
                     "find_package(kelvlx 1.1 REQUIRED)\n"
                     "foreach(ex kcexample kcexample-keys kcexample-generate)\n"
                     "  add_executable(${ex} ${ex}.c)\n"
                     "  set_target_properties(${ex} PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)\n"
                     "  target_link_libraries(${ex} PRIVATE kelvlx::client_static)\n"
                     "endforeach()\n"
                     "file(WRITE ${CMAKE_BINARY_DIR}/agent.txt \"${kelvlx_AGENT}\")\n",
                     0644);

    // The .pc file needs no sysroot or --define-variable: it finds itself.
    const std::string pc = "PKG_CONFIG_PATH='" + libdir + "/pkgconfig' pkg-config";
    const std::string cflags = " -std=c99 -pedantic -Wall -Wextra -Werror ";
    struct Build {
        const char *what;
        std::string command;
        std::string program;
    } builds[] = {
        {"C++ with pkg-config", cxxExampleCommand(tmp, tmp.file("ex-pc")) + " $(" + pc + " --cflags --libs kelvlx-client)",
         tmp.file("ex-pc")},
        {"C with pkg-config", cExampleCommand(tmp, tmp.file("ex-c-pc")) + " $(" + pc + " --cflags --libs kelvlx-client)",
         tmp.file("ex-c-pc")},
        // The static line of docs/client-library.md.
        {"keys, static pkg-config line",
         "cc" + cflags + tmp.file("kcexample-keys.c") + " -o " + tmp.file("ex-keys") + " $(" + pc +
             " --cflags kelvlx-client) -Wl,-Bstatic $(" + pc + " --static --libs kelvlx-client) -Wl,-Bdynamic",
         tmp.file("ex-keys")},
        {"generate, static pkg-config line",
         "cc" + cflags + tmp.file("kcexample-generate.c") + " -o " + tmp.file("ex-generate") + " $(" + pc +
             " --cflags kelvlx-client) -Wl,-Bstatic $(" + pc + " --static --libs kelvlx-client) -Wl,-Bdynamic",
         tmp.file("ex-generate")},
        {"find_package, C and C++",
         "cmake -S " + tmp.path() + " -B " + tmp.file("ex-build") + " -DCMAKE_PREFIX_PATH='" + root +
             "' && cmake --build " + tmp.file("ex-build"),
         tmp.file("ex-build") + "/kcexample"},
        {"find_package, C only, static",
         "cmake -S " + conly.path() + " -B " + conly.file("b") + " -DCMAKE_PREFIX_PATH='" + root +
             "' && cmake --build " + conly.file("b"),
         conly.file("b") + "/kcexample"},
    };
    for (const auto &b : builds) {
        r = run(tmp, b.command);
        ASSERT_EQ(0, r.status) << b.what << ": " << r.out << r.err;
    }
    // Linked statically, the examples need nothing of the shared library.
    for (const std::string &prog : {tmp.file("ex-keys"), tmp.file("ex-generate"), conly.file("b") + "/kcexample"}) {
        r = run(tmp, "readelf -d " + prog);
        EXPECT_FALSE(has(r.out, "libkelvlx-client")) << prog << ": " << r.out;
    }
    // The CMake package names the staged agent.
    EXPECT_EQ(root + "/" KEL_AGENT_DEST "/kelvlx", pwfix::readFile(conly.file("b/agent.txt")));

    // Without a node and a server every example prints its usage.
    const std::string withLib = "LD_LIBRARY_PATH='" + libdir + "' ";
    for (const auto &b : builds) {
        r = run(tmp, withLib + b.program);
        EXPECT_EQ(2, r.status) << b.program << ": " << r.out << r.err;
        EXPECT_TRUE(has(r.err, "usage: ")) << r.err;
    }

    // Run against the staged agent with a password directory of their own.
    // The staged agent is not set-user-id, so only root can run it.
    if (geteuid() == 0) {
        TempDir pwdir;
        const std::string adm = root + "/" "sbin/keladm --dir " + pwdir.path() + " --catalogs " + root +
                                "/share/kelvlx/catalogs ";
        r = run(tmp, "printf 'serverpw\\n' | " + adm + "set-server N1 SRV && printf 'keypw\\n' | " + adm +
                         "set-key N1 SRV");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        struct Run {
            std::string program;
            const char *says;
        } runs[] = {
            {tmp.file("ex-pc"), ""},
            {tmp.file("ex-c-pc"), ""},
            {tmp.file("ex-build") + "/kcexample-c", ""},
            {conly.file("b") + "/kcexample", ""},
            {tmp.file("ex-keys"), "current key: present\n"},
            {conly.file("b") + "/kcexample-keys", "saved key 1: none\n"},
            {tmp.file("ex-generate"), "refused: the stored password is kept"},
            {conly.file("b") + "/kcexample-generate", "new password: "},
        };
        for (const auto &x : runs) {
            r = run(tmp, withLib + x.program + " N1 SRV '" + root + "' '" + pwdir.path() + "'");
            EXPECT_EQ(0, r.status) << x.program << ": " << r.out << r.err;
            EXPECT_TRUE(has(r.out, x.says)) << x.program << ": " << r.out;
        }
        // A password directory that does not exist: the sentence names the cause the caller can see.
        r = run(tmp, withLib + tmp.file("ex-c-pc") + " N1 SRV '" + root + "' '" + pwdir.path() + "/missing'");
        EXPECT_EQ(1, r.status);
        EXPECT_TRUE(has(r.err, "exit status 168")) << r.err;
        EXPECT_TRUE(has(r.err, "does not exist")) << r.err;
    } else {
        std::cout << "[ NOTE     ] not root: the examples were built but not run against the staged agent\n";
    }

    // The installed headers need nothing but themselves and the standard
    // library: the C one compiles as strict C99 and as C++, the C++ layer as C++17.
    struct Header {
        const char *header, *compiler;
    } headers[] = {
        {"kelclient.h", "cc -std=c99 -pedantic -Wall -Wextra -Werror -x c"},
        {"kelclient.h", "c++ -std=c++17 -pedantic -Wall -Wextra -Werror -x c++"},
        {"kelclient.hpp", "c++ -std=c++17 -pedantic -Wall -Wextra -Werror -x c++"},
    };
    for (const auto &h : headers) {
        r = run(tmp, "cd " + tmp.path() + " && echo '#include <kelvlx/" + h.header + ">' | " + h.compiler +
                         " -fsyntax-only -I'" + root + "/include' -");
        EXPECT_EQ(0, r.status) << h.header << " with " << h.compiler << ": " << r.out << r.err;
    }

    std::string manifest;
    for (const auto &f : staged)
        manifest += stage.path() + f + "\n";
    pwfix::writeFile(tmp.file("manifest"), manifest, 0644);
    r = run(tmp, "cmake -DMANIFEST=" + tmp.file("manifest") + " -DGROUP=kelvlx -P " KEL_SOURCE_DIR
                                                             "/cmake/kelUninstall.cmake");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "groupdel kelvlx")) << r.out << r.err;
    r = run(tmp, "cd '" + stage.path() + "' && find . ! -type d");
    EXPECT_EQ("", r.out) << "left after the uninstall";
    r = run(tmp, "cd '" + stage.path() + "' && find . -type d -name '*kelvlx*' -o -type d -path './opt/*'");
    EXPECT_EQ("", r.out) << "directories of the project left after the uninstall";
    EXPECT_EQ(machineBefore, machineState(tmp)) << "the test changed /etc/group or /opt";
}

// ---------------------------------------------------------------- the package

const char kGroup[] = "kelvlx";

bool groupExists(const char *name)
{
    return getgrnam(name) != nullptr;
}

// The package's state directory: it remembers that the package made the group.
// The purge keeps the group; the test removes it at the end when it was not
// here before.
const char kStateDir[] = "/var/lib/kelvlx-package";

// Installs the package for the life of the object and, whatever happens,
// purges it again and takes away what a faulty purge left (the caller has
// made sure that none of it was here before): the machine is left as it was
// found.
class InstalledPackage {
public:
    explicit InstalledPackage(const TempDir &tmp) : tmp_(tmp) { hadGroup_ = groupExists(kGroup); }
    ~InstalledPackage()
    {
        if (installed_) {
            ToolRun r = run(tmp_, kPurge);
            if (r.status != 0)
                ADD_FAILURE() << "dpkg --purge: " << r.out << r.err;
        }
        run(tmp_, std::string("dpkg-statoverride --list ") + agent() + " && dpkg-statoverride --remove " + agent());
        if (!hadGroup_ && groupExists(kGroup))
            run(tmp_, std::string("groupdel ") + kGroup);
        TempDir::removeTree(KEL_PASSWORD_DIR);
        TempDir::removeTree(kStateDir);
    }
    ToolRun install(const std::vector<std::string> &debs)
    {
        installed_ = true;
        std::string cmd = "dpkg -i";
        for (const auto &d : debs)
            cmd += " '" + d + "'";
        return run(tmp_, cmd);
    }
    ToolRun purge()
    {
        ToolRun r = run(tmp_, kPurge);
        installed_ = r.status != 0;
        return r;
    }
    bool hadGroup() const { return hadGroup_; }
    static std::string agent() { return "/usr/" KEL_AGENT_DEST "/kelvlx"; }

private:
    static constexpr const char *kPurge = "dpkg --purge libkelvlx-client-dev libkelvlx-client1 kelvlx";
    const TempDir &tmp_;
    bool hadGroup_ = false;
    bool installed_ = false;
};

// Runs a command as nobody, in the agent's group or outside it.
std::string asNobody(bool member)
{
    return std::string("setpriv --reuid=nobody --regid=nogroup ") + (member ? "--groups=kelvlx " : "--clear-groups ");
}

TEST(DebianPackage, InstallsWorksAndPurgesWithoutATrace)
{
    if (getenv("KEL_PACKAGE_TEST") == nullptr)
        GTEST_SKIP() << "installs a package on this machine: scripts/test.sh runs it last, with KEL_PACKAGE_TEST=1";
    if (system("command -v dpkg >/dev/null && command -v dpkg-deb >/dev/null && command -v cpack >/dev/null") != 0)
        GTEST_SKIP() << "dpkg is not available: no Debian package can be built or installed here";
    if (geteuid() != 0)
        GTEST_SKIP() << "installing a package needs root";
    TempDir tmp;
    if (run(tmp, "dpkg-query -W kelvlx libkelvlx-client1 libkelvlx-client-dev 2>/dev/null | grep -q .").status == 0)
        GTEST_SKIP() << "a kelvlx package is installed already; the test would remove it";
    // The package's crypto library directory (scripts/package.sh sets it), not this build's.
    const std::string oxlDir = "/usr/" KEL_INSTALL_LIBDIR "/kelvlx";
    if (exists(KEL_PASSWORD_DIR) || exists(oxlDir) || exists(kStateDir))
        GTEST_SKIP() << KEL_PASSWORD_DIR ", " << oxlDir << " or " << kStateDir << " exists already; the test would remove it";

    ToolRun r = run(tmp, "bash " KEL_SOURCE_DIR "/scripts/package.sh");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    // The agent, the runtime library and the development files, in that order.
    std::vector<std::string> debs;
    for (const auto &l : lines(r.out))
        if (l.size() > 4 && l.compare(l.size() - 4, 4, ".deb") == 0)
            debs.push_back(l);
    std::sort(debs.begin(), debs.end(), [](const std::string &a, const std::string &b) {
        auto rank = [](const std::string &d) { return has(d, "/kelvlx_") ? 0 : has(d, "/libkelvlx-client1_") ? 1 : 2; };
        return rank(a) < rank(b);
    });
    ASSERT_EQ(3u, debs.size()) << r.out << r.err;
    ASSERT_TRUE(has(debs[0], "/kelvlx_") && has(debs[1], "/libkelvlx-client1_") &&
                has(debs[2], "/libkelvlx-client-dev_")) << r.out;
    r = run(tmp, "dpkg-deb -f '" + debs[1] + "' Version");
    ASSERT_EQ(0, r.status) << r.err;
    const std::string debVersion = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(0u, debVersion.rfind(KEL_VERSION "-", 0)) << debVersion;

    // Debian's own checker has nothing to say; each override left carries its reason.
    if (run(tmp, "command -v lintian >/dev/null").status != 0) {
        std::cout << "[ NOTE     ] lintian is not installed (scripts/deps.sh installs it): not run\n";
    } else {
        r = run(tmp, "lintian --pedantic '" + debs[0] + "' '" + debs[1] + "' '" + debs[2] +
                         "' >" + tmp.file("lintian.out") + " 2>&1; s=$?; grep -v 'running with root privileges' " +
                         tmp.file("lintian.out") + "; exit $s");
        EXPECT_EQ(0, r.status) << r.out << r.err;
        EXPECT_EQ("", r.out) << r.err;
    }

    // What the packages hold, and which of their paths were here before.
    std::map<std::string, bool> before;
    for (const auto &deb : debs) {
        r = run(tmp, "dpkg-deb --fsys-tarfile '" + deb + "' | tar -t | sed 's|^\\./|/|; s|/$||'");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        for (const auto &p : lines(r.out)) {
            before[p] = exists(p);
            EXPECT_NE(0u, p.rfind("/opt", 0)) << deb << " holds " << p;
        }
    }
    ASSERT_TRUE(before.count(InstalledPackage::agent()));

    {
        InstalledPackage pkg(tmp);
        r = pkg.install(debs);
        ASSERT_EQ(0, r.status) << r.out << r.err;

        // The agent: root's and the group's, set-user-id, registered as Debian does.
        struct stat st;
        ASSERT_EQ(0, stat(InstalledPackage::agent().c_str(), &st));
        const struct group *g = getgrnam(kGroup);
        ASSERT_NE(nullptr, g) << "the group of the agent's callers was not created";
        EXPECT_EQ(0u, st.st_uid);
        EXPECT_EQ(g->gr_gid, st.st_gid);
        EXPECT_EQ(04750u, st.st_mode & 07777);
        r = run(tmp, "dpkg-statoverride --list " + InstalledPackage::agent());
        EXPECT_EQ("root kelvlx 4750 " + InstalledPackage::agent() + "\n", r.out);
        ASSERT_EQ(0, stat(KEL_PASSWORD_DIR, &st));
        EXPECT_EQ(0700u, st.st_mode & 07777);

        // The administrator stores a password in the default directory.
        r = run(tmp, "keladm set-server N1 SRV", "Pkg-Pass-1\n");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        EXPECT_TRUE(has(r.out, KEL_PASSWORD_DIR "/ZAR.PWD")) << r.out << r.err;
        r = run(tmp, "keladm list --format=tsv");
        EXPECT_EQ("1\t0\tserver\tSRV\tN1\t3\t0\n", r.out);
        r = run(tmp, "keladm check");
        EXPECT_EQ(0, r.status) << r.out << r.err;
        r = run(tmp, "keladm --version");
        EXPECT_TRUE(has(r.out, "keladm (kelvlx) " KEL_VERSION)) << r.out << r.err;

        // A caller in the group: the installed kelcall, no paths given.
        const auto key = pwfix::desFoldKey(pwfix::Bytes("PKG-PASS-1"));
        const std::string want = hex(pwfix::desChain(key.data(), pwfix::Bytes("\x01\x23\x45\x67\x89\xab\xcd\xef", 8), true));
        r = run(tmp, asNobody(true) + "kelcall --node N1 --server SRV --cipher des encipher 0123456789abcdef");
        EXPECT_EQ(0, r.status) << r.out << r.err;
        EXPECT_EQ(want + "\n", r.out);
        // AES from the installed crypto library: 8 bytes come back as one block.
        r = run(tmp, asNobody(true) + "kelcall --node N1 --server SRV --cipher aes encipher 0123456789abcdef");
        EXPECT_EQ(0, r.status) << r.out << r.err;
        EXPECT_EQ(33u, r.out.size()) << r.out << r.err;
        // Outside the group the kernel refuses to start the agent.
        r = run(tmp, asNobody(false) + "kelcall --node N1 --server SRV --cipher des encipher 0123456789abcdef");
        EXPECT_EQ(1, r.status);
        EXPECT_TRUE(has(r.err, "the agent could not be started (Permission denied)")) << r.err;

        // The example of docs/client-library.md, built against the installed
        // package both ways, run by a member of the group.
        ASSERT_FALSE(exampleSource("cpp").empty());
        ASSERT_FALSE(exampleSource("c").empty());
        ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
        writeExample(tmp);
        r = run(tmp, cxxExampleCommand(tmp, tmp.file("ex-pc")) + " $(pkg-config --cflags --libs kelvlx-client)");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        // The C caller links with the C compiler and no C++ flags: the shared
        // library brings its own run-time.
        r = run(tmp, cExampleCommand(tmp, tmp.file("ex-c-pc")) + " $(pkg-config --cflags --libs kelvlx-client)");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        r = run(tmp, "readelf -d " + tmp.file("ex-c-pc"));
        EXPECT_TRUE(has(r.out, "[libkelvlx-client.so.1]")) << r.out;
        EXPECT_FALSE(has(r.out, "libstdc++")) << r.out;
        r = run(tmp, "cmake -S " + tmp.path() + " -B " + tmp.file("ex-build") + " && cmake --build " +
                        tmp.file("ex-build"));
        ASSERT_EQ(0, r.status) << r.out << r.err;
        // An integrator packaging the dynamic one gets the runtime package, from this
        // upstream version on (the symbols file, as Debian's tools write it, drops the revision).
        // dpkg-shlibdeps reads the control file of the package being built.
        r = run(tmp, "cd " + tmp.path() + " && mkdir -p debian && printf 'Source: ex\\n\\nPackage: ex\\nArchitecture: any\\n' >debian/control"
                        " && dpkg-shlibdeps -O -e" + tmp.file("ex-pc"));
        EXPECT_EQ(0, r.status) << r.out << r.err;
        EXPECT_TRUE(has(r.out, "libkelvlx-client1 (>= " KEL_VERSION ")")) << r.out << r.err;
        // Linked statically, the example needs nothing of the shared library.
        r = run(tmp, cxxExampleCommand(tmp, tmp.file("ex-static")) +
                        " $(pkg-config --cflags kelvlx-client) $(pkg-config --variable=libdir kelvlx-client)/libkelvlx-client.a");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        r = run(tmp, "readelf -d " + tmp.file("ex-static"));
        EXPECT_FALSE(has(r.out, "libkelvlx-client")) << r.out;
        for (const std::string &prog : {tmp.file("ex-pc"), tmp.file("ex-c-pc"), tmp.file("ex-build") + "/kcexample",
                                        tmp.file("ex-build") + "/kcexample-c", tmp.file("ex-static")}) {
            r = run(tmp, "chmod -R a+rX " + tmp.path() + " && " + asNobody(true) + prog + " N1 SRV");
            EXPECT_EQ(0, r.status) << prog << ": " << r.out << r.err;
            EXPECT_EQ(want + "\n", r.out) << prog;
        }

        // The man pages as installed, and the completions.
        for (const char *page : {"man8/kelvlx.8", "man8/keladm.8", "man1/kelcall.1", "man5/kelvlx-passwords.5"}) {
            r = run(tmp, std::string("zcat /usr/share/man/") + page + ".gz | mandoc -T lint -W warning");
            EXPECT_EQ(0, r.status) << page << ": " << r.out << r.err;
        }
        EXPECT_TRUE(exists("/usr/share/bash-completion/completions/keladm"));
        EXPECT_TRUE(exists("/usr/share/bash-completion/completions/kelcall"));
        {
            // One copy of the completion file; the second name is a link to it.
            char target[64] = {};
            EXPECT_GT(readlink("/usr/share/bash-completion/completions/kelcall", target, sizeof target - 1), 0);
            EXPECT_STREQ("keladm", target);
        }

        // Nothing of the package is left: files, directories, the override,
        // the passwords. The group stays, with its members.
        r = pkg.purge();
        ASSERT_EQ(0, r.status) << r.out << r.err;
        for (const auto &[path, was] : before)
            EXPECT_TRUE(was || !exists(path)) << path << " is left after the purge";
        EXPECT_TRUE(groupExists(kGroup)) << "the purge removed the callers' group";
        EXPECT_NE(0, run(tmp, "dpkg-statoverride --list " + InstalledPackage::agent()).status) << "override left";
        EXPECT_FALSE(exists(KEL_PASSWORD_DIR));
        EXPECT_FALSE(exists(kStateDir));
        EXPECT_NE(0, run(tmp, "dpkg-query -W kelvlx libkelvlx-client1 libkelvlx-client-dev 2>/dev/null | grep -q .").status);
    }
}

} // namespace

// Message compiler: turns the readable message sources into the input of the
// platform's catalog compiler (gencat), and the American English source into
// the table of expected conversions that the program checks catalog texts against.
//
//   kelmsgc [--ref REF.msg] [--sigs OUT.cpp] SOURCE.msg OUT.gencat
//
// Source format, one message per entry:
//   # comment
//   <number> <severity letter> [tag=<TAG>] [ordered] "<text>"
//       "<more text>"                       continuation lines are appended
// Escapes inside quotes: \n \t \\ \". A plain text is a printf format whose
// conversions take the caller's arguments in order. An ordered text writes each
// insert as {k:<conversion>}, k being the caller's argument (0-based) it shows;
// "{{" is a literal brace, and the text between inserts is shown as it stands.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "diag/nlssig.h"

namespace {

struct Message {
    unsigned num = 0;
    char letter = 0;
    std::string tag;
    bool ordered = false;
    std::string text;   // source text after escapes
    std::string body;   // stored body (kind byte first), with real 0 bytes
    std::string sig;
    int line = 0;
};

constexpr char kStoredZero = 0x10;
constexpr char kTagMark = 0x12;

bool fail(const std::string &file, int line, const std::string &why)
{
    std::cerr << file << ":" << line << ": " << why << "\n";
    return false;
}

bool validUtf8(const std::string &s)
{
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
        if (more == 4 || (more > 0 && c < 0xC2) || i + more >= s.size() + (more == 0 ? 1 : 0))
            return false;
        for (size_t k = 1; k <= more; k++)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += more + 1;
    }
    return true;
}

bool readQuoted(const std::string &s, size_t &i, std::string &out, std::string &err)
{
    if (i >= s.size() || s[i] != '"') {
        err = "expected a quoted text";
        return false;
    }
    for (i++; i < s.size(); i++) {
        char c = s[i];
        if (c == '"') {
            i++;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= s.size())
            break;
        switch (s[i]) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        default: err = "unknown escape"; return false;
        }
    }
    err = "unterminated quoted text";
    return false;
}

bool plainBody(Message &m, std::string &err)
{
    char sig[NLS_SIG_MAX + 1];
    if (nlsFmtSig(m.text.data(), m.text.size(), sig, sizeof sig) != 0) {
        err = "text holds a conversion the message system refuses";
        return false;
    }
    m.sig = sig;
    m.body = std::string(1, '\x01') + m.text;
    return true;
}

bool orderedBody(Message &m, std::string &err)
{
    std::vector<std::string> pieces(1), fmts;
    std::vector<int> argOfSlot;
    const std::string &t = m.text;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] != '{') {
            pieces.back() += t[i];
            continue;
        }
        if (i + 1 < t.size() && t[i + 1] == '{') {
            pieces.back() += '{';
            i++;
            continue;
        }
        size_t close = t.find('}', i);
        if (close == std::string::npos || close < i + 3 || t[i + 2] != ':' || t[i + 1] < '0' || t[i + 1] > '9') {
            err = "insert must read {k:<conversion>}";
            return false;
        }
        argOfSlot.push_back(t[i + 1] - '0');
        fmts.push_back(t.substr(i + 3, close - i - 3));
        pieces.emplace_back();
        i = close;
    }
    int n = static_cast<int>(fmts.size());
    if (n > 10) {
        err = "more than 10 inserts";
        return false;
    }
    std::vector<int> order(n, -1);
    for (int s = 0; s < n; s++) {
        int k = argOfSlot[s];
        if (k >= n || order[k] != -1) {
            err = "insert numbers must be 0..N-1, each once";
            return false;
        }
        order[k] = s;
    }
    std::string b;
    b += '\0';           // kind 0
    b += '\x0e';         // mask: bytes 2..4 are stored zeros
    b += std::string(3, '\0');
    b += static_cast<char>(n);
    for (int k = 0; k < n; k++)
        b += static_cast<char>(order[k]);
    for (int s = 0; s < n; s++) {
        char cls = 0, sig[NLS_SIG_MAX + 1];
        if (nlsFmtSig(fmts[s].data(), fmts[s].size(), sig, sizeof sig) != 0 || sig[0] == '\0') {
            err = "bad insert conversion " + fmts[s];
            return false;
        }
        size_t len = strlen(sig);
        cls = sig[len - 1];
        int stars = static_cast<int>(len) - 1;
        int type = cls == 'i' ? 1 : cls == 'l' ? 2 : cls == 'f' ? 3 : 0;
        b += static_cast<char>(stars);
        b += static_cast<char>(type);
        b += fmts[s];
        b += '\0';
    }
    for (const std::string &p : pieces) {
        b += p;
        b += '\0';
    }
    char sig[NLS_SIG_MAX + 1];
    if (nlsBodySig(b.data(), b.size(), sig, sizeof sig) != 0) {
        err = "ordered text does not form a valid body";
        return false;
    }
    m.sig = sig;
    m.body = b;
    return true;
}

bool parse(const std::string &file, std::map<unsigned, Message> &out)
{
    std::ifstream in(file);
    if (!in)
        return fail(file, 0, "cannot open");
    std::string line;
    int lineNo = 0;
    Message *cur = nullptr;
    std::vector<Message *> all;
    while (std::getline(in, line)) {
        lineNo++;
        size_t i = line.find_first_not_of(" \t");
        if (i == std::string::npos || line[i] == '#')
            continue;
        std::string err;
        if (line[i] == '"') {
            if (cur == nullptr)
                return fail(file, lineNo, "continuation without a message");
            if (!readQuoted(line, i, cur->text, err))
                return fail(file, lineNo, err);
            continue;
        }
        std::istringstream words(line);
        Message m;
        m.line = lineNo;
        std::string num, letter, word;
        words >> num >> letter;
        char *end = nullptr;
        unsigned long v = strtoul(num.c_str(), &end, 10);
        if (num.empty() || *end != '\0' || v == 0 || v > 65535)
            return fail(file, lineNo, "bad message number");
        if (letter.size() != 1 || strchr("ZTRKIWESLM", letter[0]) == nullptr)
            return fail(file, lineNo, "bad severity letter");
        m.num = static_cast<unsigned>(v);
        m.letter = letter[0];
        size_t q = line.find('"');
        if (q == std::string::npos)
            return fail(file, lineNo, "missing text");
        std::istringstream opts(line.substr(0, q));
        opts >> num >> letter;
        while (opts >> word) {
            if (word == "ordered")
                m.ordered = true;
            else if (word.rfind("tag=", 0) == 0 && word.size() > 4 && word.size() <= 4 + 14)
                m.tag = word.substr(4);
            else
                return fail(file, lineNo, "unknown option " + word);
        }
        if (!readQuoted(line, q, m.text, err))
            return fail(file, lineNo, err);
        if (out.count(m.num))
            return fail(file, lineNo, "message defined twice");
        cur = &(out[m.num] = m);
    }
    for (auto &[num, m] : out) {
        std::string err;
        for (char c : m.text)
            if (c == kStoredZero || c == kTagMark || c == '\0')
                return fail(file, m.line, "text holds a reserved control byte");
        if (!validUtf8(m.text) || !validUtf8(m.tag))
            return fail(file, m.line, "text is not valid UTF-8");
        if (!(m.ordered ? orderedBody(m, err) : plainBody(m, err)))
            return fail(file, m.line, err);
    }
    return true;
}

std::string stored(const Message &m)
{
    char id[16];
    snprintf(id, sizeof id, "QEB%04u%c ", m.num, m.letter);
    std::string s = id;
    for (char c : m.body)
        s += c == '\0' ? kStoredZero : c;
    if (!m.tag.empty())
        s += kTagMark + m.tag;
    return s;
}

std::string gencatEscape(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if ((c >= 0x20 && c < 0x7f) || c >= 0x80) {
            out += static_cast<char>(c);   // UTF-8 stays as it is: gencat reads it in a UTF-8 locale
        } else {
            char oct[8];
            snprintf(oct, sizeof oct, "\\%03o", c);
            out += oct;
        }
    }
    return out;
}

std::string cQuote(const std::string &s)
{
    std::string out = "\"";
    for (char c : s)
        out += c;   // signatures hold letters only
    return out + "\"";
}

}  // namespace

int main(int argc, char **argv)
{
    std::string refFile, sigsFile;
    std::vector<std::string> pos;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--ref" && i + 1 < argc)
            refFile = argv[++i];
        else if (a == "--sigs" && i + 1 < argc)
            sigsFile = argv[++i];
        else
            pos.push_back(a);
    }
    if (pos.size() != 2) {
        std::cerr << "usage: kelmsgc [--ref REF.msg] [--sigs OUT.cpp] SOURCE.msg OUT.gencat\n";
        return 2;
    }
    std::map<unsigned, Message> msgs, ref;
    if (!parse(pos[0], msgs))
        return 1;
    if (!refFile.empty()) {
        if (!parse(refFile, ref))
            return 1;
        for (const auto &[num, m] : msgs) {
            auto r = ref.find(num);
            if (r == ref.end())
                return fail(pos[0], m.line, "message not in the reference source") ? 0 : 1;
            if (r->second.sig != m.sig || r->second.letter != m.letter)
                return fail(pos[0], m.line, "inserts or severity differ from the reference") ? 0 : 1;
        }
    }
    std::ofstream out(pos[1], std::ios::binary);
    out << "$ generated by kelmsgc from " << pos[0] << "\n$set 1\n";
    for (const auto &[num, m] : msgs)
        out << num << ' ' << gencatEscape(stored(m)) << '\n';
    if (!out.flush())
        return fail(pos[1], 0, "cannot write") ? 0 : 1;
    if (!sigsFile.empty()) {
        std::ofstream sigs(sigsFile);
        sigs << "// Generated by kelmsgc: the conversions each message takes, in the order callers pass them.\n"
                "#include \"diag/nlsmsg.h\"\n\nextern const nlsMsgSig_t nlsBuiltinSigs[] = {\n";
        for (const auto &[num, m] : msgs)
            sigs << "    {" << num << ", " << cQuote(m.sig) << "},\n";
        sigs << "};\nextern const size_t nlsBuiltinSigCount = " << msgs.size() << ";\n";
        if (!sigs.flush())
            return fail(sigsFile, 0, "cannot write") ? 0 : 1;
    }
    return 0;
}

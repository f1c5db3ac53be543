// Writes a section 3 manual page (mdoc) for every function kelclient.h
// declares, from the header itself: the comment above a declaration (shared
// by the declarations that follow it without a blank line) is the page's
// description, the declaration its synopsis. kcmangen HEADER OUTDIR DATE
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Function {
    std::string returns, name;
    std::vector<std::string> params;
    std::vector<std::string> text;   // the comment's lines
};

std::string trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// A line of running text made safe for mdoc: a leading control character
// escaped, backslashes spelt as \e.
std::string roff(const std::string &line)
{
    std::string out;
    for (char c : line)
        out += c == '\\' ? std::string("\\e") : std::string(1, c);
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out = "\\&" + out;
    return out;
}

// "const char *kc_version(void" -> returns "const char *", name "kc_version".
bool parseDeclaration(const std::string &decl, Function *f)
{
    const size_t open = decl.find('('), close = decl.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    const std::string head = decl.substr(0, open);
    const size_t at = head.find("kc_");
    if (at == std::string::npos)
        return false;
    f->returns = trim(head.substr(0, at));
    f->name = trim(head.substr(at));
    std::stringstream params(decl.substr(open + 1, close - open - 1));
    for (std::string p; std::getline(params, p, ',');)
        if (std::string t = trim(p); !t.empty() && t != "void")
            f->params.push_back(t);
    return true;
}

// The first sentence of the description, for the NAME line.
std::string summary(const std::vector<std::string> &text, const std::string &name)
{
    std::string all;
    for (const auto &l : text)
        all += (all.empty() ? "" : " ") + l;
    const size_t end = all.find(". ");
    std::string s = end == std::string::npos ? all : all.substr(0, end);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    if (s.empty() || s.size() > 120)
        return "function " + name + " of the kelvlx caller's library";
    return roff(s);
}

bool writePage(const Function &f, const std::string &dir, const std::string &date)
{
    std::string upper;
    for (char c : f.name)
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    std::ofstream out(dir + "/" + f.name + ".3");
    out << ".Dd " << date << "\n.Dt " << upper << " 3\n.Os\n.Sh NAME\n.Nm " << f.name << "\n.Nd "
        << summary(f.text, f.name) << "\n.Sh LIBRARY\nlibkelvlx-client\n.Pq Fl lkelvlx-client\n.Sh SYNOPSIS\n"
        << ".In kelvlx/kelclient.h\n.Ft \"" << f.returns << "\"\n.Fo " << f.name << "\n";
    for (const auto &p : f.params)
        out << ".Fa \"" << p << "\"\n";
    out << ".Fc\n.Sh DESCRIPTION\n";
    // One sentence a line, as mdoc wants it.
    std::string all;
    for (const auto &l : f.text)
        all += (all.empty() ? "" : " ") + l;
    for (size_t from = 0; from < all.size();) {
        size_t end = all.find(". ", from);
        end = end == std::string::npos ? all.size() : end + 1;
        out << roff(trim(all.substr(from, end - from))) << "\n";
        from = end;
    }
    out << ".Pp\nThe header\n.In kelvlx/kelclient.h\ndocuments every type and constant named here.\n"
        << ".Sh SEE ALSO\n.Xr kelcall 1 ,\n";
    if (f.name != "kc_describe")
        out << ".Xr kc_describe 3 ,\n";
    out << ".Xr kelvlx 8\n";
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::cerr << "usage: kcmangen HEADER OUTDIR DATE\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "kcmangen: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::vector<std::string> comment;
    bool inComment = false;
    std::vector<Function> functions;
    std::string pending;   // a declaration spread over several lines
    for (std::string line; std::getline(in, line);) {
        if (!pending.empty()) {
            pending += " " + trim(line);
        } else if (inComment || line.rfind("/*", 0) == 0) {
            if (!inComment)
                comment.clear();
            inComment = line.find("*/") == std::string::npos;
            std::string t = trim(line);
            if (t.rfind("/*", 0) == 0)
                t = trim(t.substr(2));
            if (size_t e = t.find("*/"); e != std::string::npos)
                t = trim(t.substr(0, e));
            if (t.rfind("* ", 0) == 0 || t == "*")
                t = trim(t.substr(1));
            if (!t.empty())
                comment.push_back(t);
            continue;
        } else if (line.find("kc_") != std::string::npos && line.find('(') != std::string::npos &&
                   line[0] != ' ' && line[0] != '#' && line.rfind("typedef", 0) != 0) {
            pending = line;
        } else {
            comment.clear();   // a blank line or other code ends what the comment describes
            continue;
        }
        if (pending.find(';') == std::string::npos)
            continue;
        Function f;
        if (parseDeclaration(pending, &f)) {
            f.text = comment;
            functions.push_back(f);
        }
        pending.clear();
    }
    for (const auto &f : functions)
        if (!writePage(f, argv[2], argv[3])) {
            std::cerr << "kcmangen: cannot write the page of " << f.name << "\n";
            return 1;
        }
    return functions.empty() ? 1 : 0;
}

// The MOF text the driver's WMI classes are written in:
//
//   file       := { '#pragma' 'namespace' '(' string ')' | class }
//   class      := [ qualifiers ] 'class' name [ ':' name ] '{' { property } '}' ';'
//   property   := [ qualifiers ] type name ';'
//   qualifiers := '[' qualifier { ',' qualifier } ']'
//   qualifier  := name [ '(' value ')' ]                       (no value: true)
//   value      := string { string } | [ '-' ] integer | 'true' | 'false'
//
// Keywords and types are case-insensitive; // and /* */ comments; strings take the
// MOF escapes \b \t \n \f \r \" \' \\ and \x followed by one to four hex digits.
#include "bmof.h"

#include <cctype>
#include <cstdlib>
#include <optional>

namespace bmof {
namespace {

struct Token {
    enum Kind { End, Name, String, Number, Punct } kind = End;
    std::string text;  // the name, the decoded string, the digits, or the character
    int line = 0;
};

class Lexer {
public:
    explicit Lexer(std::string_view s) : s_(s) {}

    Token Next()
    {
        SkipSpace();
        Token t;
        t.line = line_;
        if (i_ >= s_.size())
            return t;
        const char c = s_[i_];
        if (std::isalpha((unsigned char)c) || c == '_') {
            t.kind = Token::Name;
            while (i_ < s_.size() && (std::isalnum((unsigned char)s_[i_]) || s_[i_] == '_'))
                t.text += s_[i_++];
        } else if (std::isdigit((unsigned char)c)) {
            t.kind = Token::Number;
            while (i_ < s_.size() && std::isalnum((unsigned char)s_[i_]))
                t.text += s_[i_++];
        } else if (c == '"') {
            t.kind = Token::String;
            t.text = ReadString();
        } else {
            t.kind = Token::Punct;
            t.text = std::string(1, c);
            ++i_;
        }
        return t;
    }

    [[noreturn]] void Fail(const std::string& what, int line) const
    {
        throw Error("MOF line " + std::to_string(line) + ": " + what);
    }

private:
    void SkipSpace()
    {
        while (i_ < s_.size()) {
            if (s_[i_] == '\n') {
                ++line_;
                ++i_;
            } else if (std::isspace((unsigned char)s_[i_])) {
                ++i_;
            } else if (s_.substr(i_, 2) == "//") {
                while (i_ < s_.size() && s_[i_] != '\n')
                    ++i_;
            } else if (s_.substr(i_, 2) == "/*") {
                const int start = line_;
                const size_t end = s_.find("*/", i_ + 2);
                if (end == std::string_view::npos)
                    Fail("comment never closed", start);
                for (; i_ < end + 2; ++i_)
                    line_ += s_[i_] == '\n';
            } else {
                return;
            }
        }
    }

    std::string ReadString()
    {
        const int start = line_;
        std::string out;
        for (++i_;; ++i_) {
            if (i_ >= s_.size() || s_[i_] == '\n')
                Fail("string never closed", start);
            char c = s_[i_];
            if (c == '"') {
                ++i_;
                return out;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++i_ >= s_.size())
                Fail("string never closed", start);
            switch (c = s_[i_]) {
            case 'b': out += '\b'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'f': out += '\f'; break;
            case 'r': out += '\r'; break;
            case '"': case '\'': case '\\': out += c; break;
            case 'x': case 'X': {
                unsigned v = 0, digits = 0;
                while (digits < 4 && i_ + 1 < s_.size() && std::isxdigit((unsigned char)s_[i_ + 1])) {
                    const char h = char(std::tolower((unsigned char)s_[++i_]));
                    v = v * 16 + unsigned(std::isdigit((unsigned char)h) ? h - '0' : h - 'a' + 10);
                    ++digits;
                }
                if (digits == 0 || v == 0)
                    Fail("\\x needs one to four hex digits, not naming NUL", line_);
                AppendUtf8(out, v);
                break;
            }
            default:
                Fail(std::string("unknown escape \\") + c, line_);
            }
        }
    }

    static void AppendUtf8(std::string& out, unsigned cp)
    {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | cp >> 6);
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xE0 | cp >> 12);
            out += char(0x80 | (cp >> 6 & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    std::string_view s_;
    size_t i_ = 0;
    int line_ = 1;
};

bool Is(const Token& t, std::string_view text)
{
    if ((t.kind != Token::Name && t.kind != Token::Punct) || t.text.size() != text.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (std::tolower((unsigned char)t.text[i]) != std::tolower((unsigned char)text[i]))
            return false;
    return true;
}

class Parser {
public:
    explicit Parser(std::string_view text) : lex_(text) { Advance(); }

    std::vector<Class> File()
    {
        std::vector<Class> classes;
        std::string nameSpace = "root\\default";
        while (tok_.kind != Token::End) {
            if (Is(tok_, "#")) {
                Advance();
                if (!Is(tok_, "pragma"))
                    Fail("expected pragma after #");
                Advance();
                if (!Is(tok_, "namespace"))
                    Fail("only #pragma namespace is supported, not " + tok_.text);
                Advance();
                Expect("(");
                nameSpace = NamespacePath(ExpectString());
                Expect(")");
                continue;
            }
            classes.push_back(ClassDecl(nameSpace));
        }
        return classes;
    }

private:
    // "\\.\root\default" names the namespace root\default on the local machine; the
    // binary form keeps only the namespace.
    std::string NamespacePath(const std::string& path)
    {
        std::string ns = path;
        if (ns.starts_with("\\\\")) {
            const size_t server_end = ns.find('\\', 2);
            if (server_end == std::string::npos)
                Fail("namespace path \"" + path + "\" names a machine but no namespace");
            ns = ns.substr(server_end + 1);
        }
        if (ns.empty() || ns.front() == '\\' || ns.back() == '\\')
            Fail("namespace path \"" + path + "\" is not a namespace");
        return ns;
    }

    Class ClassDecl(const std::string& nameSpace)
    {
        Class c;
        c.nameSpace = nameSpace;
        c.qualifiers = Qualifiers();
        if (!Is(tok_, "class"))
            Fail("expected a class declaration, found \"" + tok_.text + "\"");
        Advance();
        c.name = ExpectName("class name");
        if (Is(tok_, ":")) {
            Advance();
            c.superclass = ExpectName("superclass name");
        }
        Expect("{");
        while (!Is(tok_, "}")) {
            if (tok_.kind == Token::End)
                Fail("class " + c.name + " never closed");
            Property p;
            p.qualifiers = Qualifiers();
            const Token typeTok = tok_;
            const std::string typeName = ExpectName("property type");
            p.type = TypeOf(typeName, typeTok.line);
            p.name = ExpectName("property name");
            if (Is(tok_, "["))
                Fail("array property " + p.name + " is not supported");
            if (Is(tok_, "("))
                Fail("method " + p.name + " is not supported");
            if (Is(tok_, "="))
                Fail("default value of " + p.name + " is not supported");
            Expect(";");
            for (const Property& q : c.properties)
                if (Is(Token{Token::Name, q.name, 0}, p.name))
                    Fail("property " + p.name + " declared twice");
            if (p.name.starts_with("__"))
                Fail("property " + p.name + ": names starting with __ are the system's");
            c.properties.push_back(std::move(p));
        }
        Advance();
        Expect(";");
        return c;
    }

    Type TypeOf(const std::string& name, int line)
    {
        for (Type t : {Type::String, Type::Boolean, Type::Uint8, Type::Sint8, Type::Uint16, Type::Sint16, Type::Uint32,
                       Type::Sint32, Type::Uint64, Type::Sint64})
            if (Is(Token{Token::Name, name, 0}, TypeName(t)))
                return t;
        throw Error("MOF line " + std::to_string(line) + ": type " + name + " is not supported");
    }

    std::vector<Qualifier> Qualifiers()
    {
        std::vector<Qualifier> out;
        if (!Is(tok_, "["))
            return out;
        Advance();
        for (;;) {
            Qualifier q = Qualifier::Bool(ExpectName("qualifier name"));
            if (Is(tok_, "(")) {
                Advance();
                Value(q);
                Expect(")");
            } else if (Is(tok_, "{")) {
                Fail("array value of qualifier " + q.name + " is not supported");
            }
            if (Is(tok_, ":"))
                Fail("flavors of qualifier " + q.name + " are not supported");
            for (const Qualifier& other : out)
                if (Is(Token{Token::Name, other.name, 0}, q.name))
                    Fail("qualifier " + q.name + " given twice");
            out.push_back(std::move(q));
            if (Is(tok_, "]"))
                break;
            Expect(",");
        }
        Advance();
        return out;
    }

    void Value(Qualifier& q)
    {
        if (tok_.kind == Token::String) {
            q.kind = Qualifier::Kind::String;
            q.string.clear();
            while (tok_.kind == Token::String) {  // adjacent literals join
                q.string += tok_.text;
                Advance();
            }
        } else if (Is(tok_, "true") || Is(tok_, "false")) {
            q.kind = Qualifier::Kind::Boolean;
            q.boolean = Is(tok_, "true");
            Advance();
        } else {
            const bool negative = Is(tok_, "-");
            if (negative)
                Advance();
            if (tok_.kind != Token::Number)
                Fail("value of qualifier " + q.name + " is not a string, integer or boolean");
            const std::string& digits = tok_.text;
            const bool hex = digits.size() > 2 && (digits[1] == 'x' || digits[1] == 'X') && digits[0] == '0';
            char* end = nullptr;
            const long long v = std::strtoll(digits.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
            const long long value = negative ? -v : v;
            if (*end != '\0' || value < INT32_MIN || value > INT32_MAX)
                Fail("value " + digits + " of qualifier " + q.name + " is not a 32-bit signed integer");
            q.kind = Qualifier::Kind::Integer;
            q.integer = int32_t(value);
            Advance();
        }
    }

    void Advance() { tok_ = lex_.Next(); }
    [[noreturn]] void Fail(const std::string& what) { lex_.Fail(what, tok_.line); }
    void Expect(std::string_view p)
    {
        if (!Is(tok_, p) || tok_.kind != Token::Punct)
            Fail("expected \"" + std::string(p) + "\", found \"" + tok_.text + "\"");
        Advance();
    }
    std::string ExpectName(const char* what)
    {
        if (tok_.kind != Token::Name)
            Fail(std::string("expected a ") + what + ", found \"" + tok_.text + "\"");
        std::string n = tok_.text;
        Advance();
        return n;
    }
    std::string ExpectString()
    {
        if (tok_.kind != Token::String)
            Fail("expected a string, found \"" + tok_.text + "\"");
        std::string s = tok_.text;
        Advance();
        return s;
    }

    Lexer lex_;
    Token tok_;
};

}  // namespace

std::vector<Class> ParseMof(std::string_view text) { return Parser(text).File(); }

}  // namespace bmof

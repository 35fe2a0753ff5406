#include "support/documents.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace fixture {
namespace {

[[noreturn]] void Malformed(const std::string& what, size_t at) {
  throw std::runtime_error(what + " at byte " + std::to_string(at));
}

// Refuses bytes that are no UTF-8 (overlong forms, surrogates and code
// points past U+10FFFF among them), and control characters but tab, line
// feed and carriage return.
void CheckCharacters(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r')) Malformed("bad byte", i);
    unsigned long code = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        Malformed("bad UTF-8", i);
      }
      code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) {
      Malformed("overlong form, surrogate or code point past U+10FFFF", i);
    }
    i += length;
  }
}

void AppendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += char(code);
  } else if (code < 0x800) {
    out += char(0xC0 | (code >> 6));
    out += char(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += char(0xE0 | (code >> 12));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  } else {
    out += char(0xF0 | (code >> 18));
    out += char(0x80 | ((code >> 12) & 0x3F));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  }
}

struct JsonReader {
  const std::string& s;
  size_t at = 0;

  void Space() {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\n' || s[at] == '\r')) ++at;
  }
  bool Take(const std::string& word) {
    if (s.compare(at, word.size(), word) != 0) return false;
    at += word.size();
    return true;
  }
  void Expect(char c) {
    Space();
    if (at >= s.size() || s[at] != c) Malformed(std::string("expected ") + c, at);
    ++at;
  }
  unsigned long Hex4() {
    if (at + 4 > s.size()) Malformed("short \\u escape", at);
    const std::string digits = s.substr(at, 4);
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) Malformed("bad \\u", at);
    at += 4;
    return std::strtoul(digits.c_str(), nullptr, 16);
  }
  std::string String() {
    Expect('"');
    std::string out;
    while (at < s.size() && s[at] != '"') {
      const char c = s[at++];
      if (static_cast<unsigned char>(c) < 0x20) Malformed("control character in a string", at);
      if (c != '\\') {
        out += c;
        continue;
      }
      const char e = at < s.size() ? s[at++] : '\0';
      const std::string simple = "\"\\/bfnrt";
      const std::string meant = "\"\\/\b\f\n\r\t";
      if (simple.find(e) != std::string::npos) {
        out += meant[simple.find(e)];
      } else if (e == 'u') {
        unsigned long code = Hex4();
        if (code >= 0xD800 && code < 0xDC00 && Take("\\u")) code = 0x10000 + ((code - 0xD800) << 10) + (Hex4() - 0xDC00);
        AppendUtf8(out, code);
      } else {
        Malformed("bad escape", at);
      }
    }
    Expect('"');
    return out;
  }
  Json Number() {
    const size_t start = at;
    Take("-");
    if (!Take("0")) {
      if (at >= s.size() || s[at] < '1' || s[at] > '9') Malformed("bad number", at);
      while (at < s.size() && isdigit(static_cast<unsigned char>(s[at]))) ++at;
    }
    if (Take(".")) {
      if (at >= s.size() || !isdigit(static_cast<unsigned char>(s[at]))) Malformed("bad fraction", at);
      while (at < s.size() && isdigit(static_cast<unsigned char>(s[at]))) ++at;
    }
    if (at < s.size() && (s[at] == 'e' || s[at] == 'E')) {
      ++at;
      if (!Take("+")) Take("-");
      if (at >= s.size() || !isdigit(static_cast<unsigned char>(s[at]))) Malformed("bad exponent", at);
      while (at < s.size() && isdigit(static_cast<unsigned char>(s[at]))) ++at;
    }
    Json j;
    j.kind = Json::kNumber;
    j.text = s.substr(start, at - start);
    j.number = std::strtod(j.text.c_str(), nullptr);
    return j;
  }
  Json Value() {
    Space();
    Json j;
    if (at >= s.size()) Malformed("missing value", at);
    if (Take("null")) return j;
    j.kind = Json::kBool;
    if (Take("true")) {
      j.boolean = true;
      return j;
    }
    if (Take("false")) return j;
    j.kind = Json::kString;
    if (s[at] == '"') {
      j.text = String();
      return j;
    }
    if (s[at] == '[') return Array();
    if (s[at] == '{') return Object();
    return Number();
  }
  Json Array() {
    Json j;
    j.kind = Json::kArray;
    Expect('[');
    Space();
    if (Take("]")) return j;
    do {
      j.items.push_back(Value());
      Space();
    } while (Take(","));
    Expect(']');
    return j;
  }
  Json Object() {
    Json j;
    j.kind = Json::kObject;
    Expect('{');
    Space();
    if (Take("}")) return j;
    do {
      const std::string key = String();
      if (j.members.count(key) != 0) Malformed("duplicate key " + key, at);
      Expect(':');
      j.members[key] = Value();
      Space();
    } while (Take(","));
    Expect('}');
    return j;
  }
};

struct XmlReader {
  const std::string& s;
  size_t at = 0;

  void Space() {
    while (at < s.size() && isspace(static_cast<unsigned char>(s[at]))) ++at;
  }
  std::string Name() {
    const size_t start = at;
    while (at < s.size() && (isalnum(static_cast<unsigned char>(s[at])) || s[at] == '-' ||
                             s[at] == '_' || s[at] == ':' || s[at] == '.')) {
      ++at;
    }
    if (at == start) Malformed("expected a name", at);
    return s.substr(start, at - start);
  }
  // Character data up to `end`, entities resolved; no '<' allowed.
  std::string Text(char end) {
    std::string out;
    while (at < s.size() && s[at] != end) {
      if (s[at] == '<') Malformed("'<' in text", at);
      if (s[at] != '&') {
        out += s[at++];
        continue;
      }
      const size_t semicolon = s.find(';', at);
      if (semicolon == std::string::npos) Malformed("unended entity", at);
      const std::string entity = s.substr(at + 1, semicolon - at - 1);
      const std::map<std::string, char> named = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'},
                                                 {"quot", '"'}, {"apos", '\''}};
      if (named.count(entity) != 0) {
        out += named.at(entity);
      } else if (entity.size() > 1 && entity[0] == '#') {
        const bool hex = entity[1] == 'x';
        AppendUtf8(out, std::strtoul(entity.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
      } else {
        Malformed("unknown entity " + entity, at);
      }
      at = semicolon + 1;
    }
    return out;
  }
  void SkipComments() {
    for (Space(); s.compare(at, 4, "<!--") == 0; Space()) {
      const size_t end = s.find("-->", at);
      if (end == std::string::npos) Malformed("unended comment", at);
      at = end + 3;
    }
  }
  std::unique_ptr<XmlElement> Element() {
    if (at >= s.size() || s[at] != '<') Malformed("expected an element", at);
    ++at;
    auto e = std::make_unique<XmlElement>();
    e->name = Name();
    for (Space(); at < s.size() && s[at] != '>' && s[at] != '/'; Space()) {
      const std::string key = Name();
      Space();
      if (at >= s.size() || s[at++] != '=') Malformed("expected =", at);
      Space();
      const char quote = at < s.size() ? s[at++] : '\0';
      if (quote != '"' && quote != '\'') Malformed("expected a quote", at);
      if (e->attributes.count(key) != 0) Malformed("duplicate attribute " + key, at);
      e->attributes[key] = Text(quote);
      ++at;
    }
    if (s.compare(at, 2, "/>") == 0) {
      at += 2;
      return e;
    }
    ++at;  // '>'
    while (true) {
      e->text += Text('<');
      if (s.compare(at, 4, "<!--") == 0) {
        SkipComments();
      } else if (s.compare(at, 2, "</") == 0) {
        at += 2;
        if (Name() != e->name) Malformed("mismatched end tag of " + e->name, at);
        Space();
        if (at >= s.size() || s[at++] != '>') Malformed("expected >", at);
        return e;
      } else {
        e->children.push_back(Element());
      }
    }
  }
};

void Collect(const XmlElement& e, const std::string& name, const std::string& word,
             std::vector<const XmlElement*>& found) {
  const auto value = e.attributes.find(name);
  if (value != e.attributes.end()) {
    std::istringstream words(value->second);
    for (std::string w; words >> w;) {
      if (w == word) found.push_back(&e);
    }
  }
  for (const auto& child : e.children) Collect(*child, name, word, found);
}

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  const auto found = members.find(key);
  if (kind != kObject || found == members.end()) throw std::runtime_error("no member " + key);
  return found->second;
}

long long Json::Integer() const {
  if (kind != kNumber || text.find_first_of(".eE") != std::string::npos) {
    throw std::runtime_error("not an integer: " + text);
  }
  return std::strtoll(text.c_str(), nullptr, 10);
}

Json ParseJson(const std::string& text) {
  CheckCharacters(text);
  JsonReader reader{text};
  Json value = reader.Value();
  reader.Space();
  if (reader.at != text.size()) Malformed("text after the document", reader.at);
  return value;
}

std::unique_ptr<XmlElement> ParseXml(const std::string& text) {
  CheckCharacters(text);
  XmlReader reader{text};
  if (text.compare(0, 5, "<?xml") == 0) {
    reader.at = text.find("?>");
    if (reader.at == std::string::npos) Malformed("unended declaration", 0);
    reader.at += 2;
  }
  reader.SkipComments();
  std::unique_ptr<XmlElement> root = reader.Element();
  reader.SkipComments();
  if (reader.at != text.size()) Malformed("text after the root element", reader.at);
  return root;
}

std::vector<const XmlElement*> ElementsWith(const XmlElement& root, const std::string& name,
                                            const std::string& word) {
  std::vector<const XmlElement*> found;
  Collect(root, name, word, found);
  return found;
}

}  // namespace fixture

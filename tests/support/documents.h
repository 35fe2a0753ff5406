// Strict readers of the JSON and XML the program writes, independent of the
// code under test: each throws std::runtime_error on anything malformed.
#ifndef SPLYCE_TESTS_SUPPORT_DOCUMENTS_H
#define SPLYCE_TESTS_SUPPORT_DOCUMENTS_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fixture {

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // a number's own digits, or a string's value
  std::vector<Json> items;
  std::map<std::string, Json> members;
  // The member `key` of an object; throws when there is none.
  const Json& operator[](const std::string& key) const;
  // A number that must be an integer, as written.
  long long Integer() const;
};

// Reads one JSON document (RFC 8259), refusing duplicate keys.
Json ParseJson(const std::string& text);

struct XmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::vector<std::unique_ptr<XmlElement>> children;
  std::string text;  // character data directly inside, entities resolved
};

// Reads one XML document (an optional declaration, one root element).
std::unique_ptr<XmlElement> ParseXml(const std::string& text);

// Every element under `root` (itself included) whose attribute `name`
// holds the word `word` (as a class names several).
std::vector<const XmlElement*> ElementsWith(const XmlElement& root, const std::string& name,
                                            const std::string& word);

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_DOCUMENTS_H

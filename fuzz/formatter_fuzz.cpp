// Fuzz target: the toolkit's record formatters and their escaping, on
// records whose fields are arbitrary bytes.
//
// Each format must parse back: the basic line is one line that unescapes to
// the original text; the XML record, framed by the formatter's header and
// trailer, is well-formed, valid against schema/eklogger-log.xsd, and gives
// back each field (a valid UTF-8 field without the characters XML cannot
// carry comes back exactly); the JSON line parses as one object whose
// strings give back each valid UTF-8 field exactly.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_input.h"
#include "toolkit/formatters/formatter.h"
#include "toolkit/formatters/text_escape.h"

#ifndef EKLOGGER_SCHEMA_FILE
#error "EKLOGGER_SCHEMA_FILE names schema/eklogger-log.xsd"
#endif

namespace {

namespace fmt = gw::formatting;

[[noreturn]] void fail(const char* what, const std::string& output) {
  std::fprintf(stderr, "formatter_fuzz: %s\n  output: %s\n", what, output.c_str());
  std::abort();
}

struct Formatters {
  std::unique_ptr<gw::RecordFormatter> basic = gw::make_record_formatter("gw_basicformatter");
  std::unique_ptr<gw::RecordFormatter> xml = gw::make_record_formatter("gw_xmlformatter");
  std::unique_ptr<gw::RecordFormatter> json = gw::make_record_formatter("gw_jsonformatter");
  xmlSchemaPtr schema = nullptr;
};

void ignore_xml_error(void*, const char*, ...) {}

const Formatters& formatters() {
  static const Formatters* instance = [] {
    auto* made = new Formatters;
    xmlSetGenericErrorFunc(nullptr, ignore_xml_error);
    xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(EKLOGGER_SCHEMA_FILE);
    made->schema = xmlSchemaParse(parser);
    xmlSchemaFreeParserCtxt(parser);
    if (made->schema == nullptr || !made->basic || !made->xml || !made->json) {
      std::fprintf(stderr, "formatter_fuzz: cannot set up (schema %s)\n", EKLOGGER_SCHEMA_FILE);
      std::abort();
    }
    return made;
  }();
  return *instance;
}

bool is_valid_utf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const fmt::Utf8Step step = fmt::decode_utf8(bytes);
    if (!step.valid) return false;
    bytes.remove_prefix(step.length);
  }
  return true;
}

// True when XML 1.0 can hold every character of the text as it is.
bool is_xml_text(std::string_view bytes) {
  while (!bytes.empty()) {
    const fmt::Utf8Step step = fmt::decode_utf8(bytes);
    if (!step.valid) return false;
    const char32_t c = step.code_point;
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
    if (c == 0xFFFE || c == 0xFFFF) return false;
    bytes.remove_prefix(step.length);
  }
  return true;
}

// Reverses the basic escaping; false for a sequence it never writes.
bool basic_unescape(std::string_view line, std::string& out) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\') {
      out += line[i];
      continue;
    }
    if (++i == line.size()) return false;
    switch (line[i]) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '\\':
        out += '\\';
        break;
      case 'x': {
        if (i + 2 >= line.size()) return false;
        const std::string hex(line.substr(i + 1, 2));
        char* end = nullptr;
        const long value = std::strtol(hex.c_str(), &end, 16);
        if (hex.size() != 2 || *end != '\0') return false;
        out += static_cast<char>(value);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

void check_basic_escape(const std::string& field, fmt::BasicField where, const char* forbidden) {
  std::string escaped(field.size() * fmt::kBasicExpansion, '\0');
  escaped.resize(static_cast<std::size_t>(fmt::write_basic_escaped(escaped.data(), field, where) -
                                          escaped.data()));
  if (escaped.find_first_of(forbidden) != std::string::npos) {
    fail("basic escaping left a separator", escaped);
  }
  std::string back;
  if (!basic_unescape(escaped, back) || back != field)
    fail("basic escaping does not reverse", escaped);
}

void check_xml_escape(const std::string& field) {
  std::string escaped(field.size() * fmt::kXmlExpansion, '\0');
  escaped.resize(
      static_cast<std::size_t>(fmt::write_xml_escaped(escaped.data(), field) - escaped.data()));
  const std::string document = "<r a=\"" + escaped + "\">" + escaped + "</r>";
  xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "escape.xml",
                                "UTF-8", XML_PARSE_NONET | XML_PARSE_NOBLANKS);
  if (doc == nullptr) fail("escaped XML text does not parse", document);
  xmlNodePtr root = xmlDocGetRootElement(doc);
  xmlChar* attribute = xmlGetProp(root, reinterpret_cast<const xmlChar*>("a"));
  xmlChar* content = xmlNodeGetContent(root);
  const std::string attribute_text = attribute != nullptr ? reinterpret_cast<char*>(attribute) : "";
  const std::string content_text = content != nullptr ? reinterpret_cast<char*>(content) : "";
  xmlFree(attribute);
  xmlFree(content);
  xmlFreeDoc(doc);
  if (is_xml_text(field) && (attribute_text != field || content_text != field)) {
    fail("escaped XML text does not give the text back", document);
  }
}

void check_json_escape(const std::string& field) {
  std::string escaped(1 + field.size() * fmt::kJsonExpansion, '"');
  escaped.resize(static_cast<std::size_t>(fmt::write_json_escaped(escaped.data() + 1, field) -
                                          escaped.data()));
  escaped += '"';
  nlohmann::json parsed;
  try {
    parsed = nlohmann::json::parse(escaped);
  } catch (const nlohmann::json::exception& error) {
    fail(error.what(), escaped);
  }
  if (!parsed.is_string()) fail("escaped JSON text is no string", escaped);
  if (is_valid_utf8(field) && parsed.get<std::string>() != field) {
    fail("escaped JSON text does not give the text back", escaped);
  }
}

void check_record(const gw::Record& record) {
  const Formatters& all = formatters();

  std::string line;
  all.basic->format(record, line);
  if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) {
    fail("basic record is not one line", line);
  }

  std::string document = all.xml->header();
  all.xml->format(record, document);
  document += all.xml->trailer();
  xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "record.xml",
                                nullptr, XML_PARSE_NONET);
  if (doc == nullptr) fail("XML record does not parse", document);
  xmlSchemaValidCtxtPtr validator = xmlSchemaNewValidCtxt(all.schema);
  const int invalid = xmlSchemaValidateDoc(validator, doc);
  xmlSchemaFreeValidCtxt(validator);
  xmlFreeDoc(doc);
  if (invalid != 0) fail("XML record is not valid against the schema", document);

  std::string json_line;
  all.json->format(record, json_line);
  if (json_line.empty() || json_line.back() != '\n' ||
      json_line.find('\n') != json_line.size() - 1) {
    fail("JSON record is not one line", json_line);
  }
  nlohmann::json parsed;
  try {
    parsed = nlohmann::json::parse(json_line);
  } catch (const nlohmann::json::exception& error) {
    fail(error.what(), json_line);
  }
  if (!parsed.is_object()) fail("JSON record is no object", json_line);
  const auto check_field = [&](const char* key, std::string_view value) {
    if (!parsed.contains(key) || !parsed[key].is_string())
      fail("JSON record lacks a field", json_line);
    if (is_valid_utf8(value) && parsed[key].get<std::string>() != value) {
      fail("JSON field does not give the value back", json_line);
    }
  };
  check_field("text", record.text);
  check_field("product", record.product);
  check_field("component", record.component);
  check_field("logger", record.logger);
  if (record.kind == gw::RecordKind::kMessage) check_field("catalog", record.catalog);
  if (record.kind == gw::RecordKind::kTrace) {
    check_field("file", record.file);
    check_field("function", record.function);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  gw::Record record;
  record.kind = static_cast<gw::RecordKind>(in.below(3));
  record.time_us = static_cast<std::int64_t>(in.u64());
  const int levels[] = {6000, 5000, 4000, 3000, 2000, 1000, 0};
  record.level = in.byte() < 200 ? levels[in.below(7)] : static_cast<int>(in.u64());
  record.set = static_cast<int>(in.u64());
  record.number = static_cast<int>(in.u64());
  record.line = static_cast<int>(in.u64());
  const std::string logger = in.field(), product = in.field(), component = in.field(),
                    catalog = in.field(), file = in.field(), function = in.field(),
                    text = in.rest();
  record.logger = logger;
  record.product = product;
  record.component = component;
  record.catalog = catalog;
  record.file = file;
  record.function = function;
  record.text = text;

  check_basic_escape(text, fmt::BasicField::kText, "\n\r");
  check_basic_escape(component, fmt::BasicField::kBracketed, "\n\r]");
  check_basic_escape(catalog, fmt::BasicField::kName, "\n\r]:");
  check_xml_escape(text);
  check_xml_escape(product);
  check_json_escape(text);
  check_json_escape(function);
  check_record(record);
  return 0;
}

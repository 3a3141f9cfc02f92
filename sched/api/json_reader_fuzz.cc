// Fuzz target: json_parse with the API's limits. Checks the result code and message, and that
// writing the tree with JsonWriter and parsing the output again gives the same tree: texts with
// each invalid UTF-8 byte as U+FFFD (what the writer sends), numbers without the integer flag
// as null (the writer has no fraction form). The body helpers refuse with valid error bodies.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <string_view>

#include "common/text.h"
#include "sched/api/json_reader.h"
#include "sched/api/json_writer.h"

namespace {

[[noreturn]] void fault() {
  __builtin_trap();
}

// The text the writer's output decodes to.
std::string sanitized(const std::string& s) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0;
  while (i < s.size()) {
    size_t n = vrk::utf8_sequence_length(p + i, s.size() - i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

// Writes v; clears comparable when the re-parse cannot match (a text grown past the string
// limit, or two keys that become one).
void write_value(vrk::JsonWriter& w, const vrk::JsonValue& v, bool& comparable) {
  switch (v.type) {
    case vrk::JsonType::kNull:
      vrk::json_null(w);
      break;
    case vrk::JsonType::kBool:
      vrk::json_bool(w, static_cast<int>(v.boolean));
      break;
    case vrk::JsonType::kNumber:
      if (v.is_integer != 0) {
        vrk::json_int(w, v.integer);
      } else {
        vrk::json_null(w);
      }
      break;
    case vrk::JsonType::kString:
      if (sanitized(v.text).size() >= vrk::kJsonStringSize) {
        comparable = false;
      }
      vrk::json_string(w, v.text.data(), v.text.size(), 0);
      break;
    case vrk::JsonType::kArray:
      vrk::json_begin_array(w);
      for (const vrk::JsonValue* item : v.items) {
        write_value(w, *item, comparable);
      }
      vrk::json_end_array(w);
      break;
    case vrk::JsonType::kObject:
      vrk::json_begin_object(w);
      for (size_t i = 0; i < v.keys.size(); ++i) {
        std::string key = sanitized(v.keys[i]);
        for (size_t j = 0; j < i; ++j) {
          if (sanitized(v.keys[j]) == key) {
            comparable = false;
          }
        }
        if (key.size() >= vrk::kJsonStringSize) {
          comparable = false;
        }
        vrk::json_key(w, v.keys[i].c_str());
        write_value(w, *v.items[i], comparable);
      }
      vrk::json_end_object(w);
      break;
  }
}

bool same(const vrk::JsonValue& a, const vrk::JsonValue& b) {
  if (a.type == vrk::JsonType::kNumber && a.is_integer == 0) {
    return b.type == vrk::JsonType::kNull;
  }
  if (a.type != b.type || a.boolean != b.boolean || a.is_integer != b.is_integer ||
      a.integer != b.integer || a.items.size() != b.items.size() ||
      a.keys.size() != b.keys.size() || sanitized(a.text) != b.text) {
    return false;
  }
  for (size_t i = 0; i < a.keys.size(); ++i) {
    if (sanitized(a.keys[i]) != b.keys[i]) {
      return false;
    }
  }
  for (size_t i = 0; i < a.items.size(); ++i) {
    if (!same(*a.items[i], *b.items[i])) {
      return false;
    }
  }
  return true;
}

// The same bytes as a request body through the helpers every writing handler uses: each
// refusal is a 400 whose body is itself a valid JSON object.
void check_body_helpers(const uint8_t* data, size_t size) {
  vrk::ApiRequest req;
  req.body = data;
  req.body_length = static_cast<uint32_t>(size);
  vrk::ApiResponse resp;
  vrk::ApiCall call;
  vrk::api_call_init(call, nullptr, req, resp);
  vrk::JsonValue* object = vrk::api_parse_body(call);
  int rc = object == nullptr ? -1 : 0;
  if (rc == 0) {
    char name[128];
    int64_t timeout = 0;
    rc = vrk::api_check_fields(call, object, "name timeout");
    if (rc == 0) {
      rc = vrk::api_get_text(call, object, "name", name);
    }
    if (rc == 0) {
      rc = vrk::api_get_int(call, object, "timeout", 86400, timeout);
    }
    vrk::json_value_free(object);
  }
  if (rc != 0) {
    char err[vrk::kApiJsonErrSize];
    vrk::JsonValue* body = nullptr;
    std::string_view text(reinterpret_cast<const char*>(resp.body), resp.body_length);
    if (resp.status != 400 || vrk::json_parse(text, vrk::kApiResponseSize, 2, 8, body, err) != 0 ||
        vrk::json_as_string(vrk::json_object_find(vrk::json_object_find(body, "error"), "code")) ==
            nullptr) {
      fault();
    }
    vrk::json_value_free(body);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  char err[vrk::kApiJsonErrSize];
  vrk::JsonValue* root = nullptr;
  int rc = vrk::json_parse(text, vrk::kApiJsonMaxSize, vrk::kApiJsonMaxDepth,
                           vrk::kApiJsonMaxValues, root, err);
  check_body_helpers(data, size);
  if (rc != 0) {
    if (rc != -1 || root != nullptr || err[0] == '\0' ||
        memchr(err, '\0', sizeof(err)) == nullptr) {
      fault();
    }
    return 0;
  }
  // Every input byte escapes to at most 6 output bytes, so this never overflows.
  static char out[8 * vrk::kApiJsonMaxSize];
  vrk::JsonWriter w;
  vrk::json_writer_init(w, out, sizeof(out));
  bool comparable = true;
  write_value(w, *root, comparable);
  if (w.overflow != 0 || w.depth != 0 || strlen(out) != w.length) {
    fault();
  }
  vrk::JsonValue* again = nullptr;
  rc = vrk::json_parse(std::string_view(out, w.length), sizeof(out), vrk::kApiJsonMaxDepth,
                       vrk::kApiJsonMaxValues, again, err);
  if (comparable && (rc != 0 || !same(*root, *again))) {
    fault();
  }
  vrk::json_value_free(again);
  vrk::json_value_free(root);
  return 0;
}

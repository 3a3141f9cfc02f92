// Section edits on arbitrary texts: sections the edit does not name stay byte-identical, the
// values set read back, and a text that loaded still loads after setting writable values.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "sched/config.h"
#include "sched/config_load.h"
#include "sched/ini_edit.h"

namespace {

void check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

// A rewritten line keeps its old comment; only lines well below the loader's line limit are
// certain to stay within it.
bool lines_short(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    if (end - pos > 1700) {
      return false;
    }
    pos = end;
  }
  return true;
}

}  // namespace

// Input: one control byte, the value up to the first NUL (at most 127 bytes are used), then
// the configuration text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vrk;
  if (size < 1) {
    return 0;
  }
  const uint8_t ctl = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t nul = rest.find('\0');
  std::string_view value = rest.substr(0, nul == std::string_view::npos ? 0 : nul);
  std::string_view text = nul == std::string_view::npos ? rest : rest.substr(nul + 1);
  if (value.size() > 127) {
    value = value.substr(0, 127);
  }

  static auto cfg = std::make_unique<SchedConfig>();
  char err[kConfigApiErrSize];
  const bool loaded = config_load_text(text, "f.cfg", *cfg, err) == 0;
  check(loaded || strlen(err) > 0);
  std::string name = "fuzzjob";
  if (loaded && cfg->job_count > 0 && (ctl & 1) != 0) {
    name = cfg->jobs[(ctl >> 1) % cfg->job_count].name;
  }
  config_free(*cfg);

  SettingPair pairs[] = {{"enabled", "no"}, {"profile", value}, {"timeout-seconds", "5"}};
  const size_t npairs = (ctl & 0x80) != 0 ? 3 : 2;
  const bool had = ini_has_section(text, name);
  std::string out;
  int rc = ini_set_section(text, name, std::span(pairs, npairs), out);
  const bool name_ok = ini_value_writable(name) && name.find_first_of("[]") == std::string::npos;
  if (!ini_value_writable(value) || !name_ok) {
    check(rc == kErrInvalid && out.empty());
  } else if (rc == 0) {
    check(ini_has_section(out, name));
    char got[1100];
    check(ini_get_value(out, name, "profile", got) && std::string_view(got) == value);
    std::string before;
    std::string after;
    if (had) {
      check(ini_remove_section(text, name, before) == 0);
      check(ini_remove_section(out, name, after) == 0);
      check(before == after);
    } else {
      check(out.starts_with(text));
    }
    if (loaded && lines_short(text)) {
      int lrc = config_load_text(out, "f.cfg", *cfg, err);
      check(lrc == 0);
      const JobConfig* job = config_find_job(*cfg, name);
      check(job != nullptr && job->enabled == 0 && std::string_view(job->profile) == value);
      config_free(*cfg);
    }
  } else {
    check(rc == kErrNoMem);
  }

  rc = ini_remove_section(text, "sched", out);
  if (rc == 0) {
    check(!ini_has_section(out, "sched"));
    if (loaded) {
      check(config_load_text(out, "f.cfg", *cfg, err) == 0);
      config_free(*cfg);
    }
  } else {
    check(out.empty() && (rc == kErrNotFound || rc == kErrNoMem));
  }
  return 0;
}

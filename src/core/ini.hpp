// The INI rules shared by tarvikconf.ini and setup.ini: a reader and writer
// that behaves like Python's configparser (raw values, no interpolation), with
// the configparser-named errors of core/errors.hpp.
//
// Reading: "[name]" starts a section (names are case-sensitive); "key = value"
// or "key: value" sets an option (keys are lower-cased, values stripped);
// lines starting with "#" or ";" are comments; a line indented deeper than its
// option continues the value. An option before the first section, a section or
// option given twice in one read, or a line that is none of these fails the
// read. The [DEFAULT] section supplies options to every section.
//
// Writing: every section in order as "[name]", one "key = value" line per
// option and an empty line; line breaks inside a value become continuation
// lines so that reading the file back gives the same value.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvik {

class IniConfig {
public:
    static constexpr std::string_view DEFAULT_SECTION = "DEFAULT";

    // Reads a UTF-8 file and adds its content. A file that does not exist
    // leaves the configuration as it is; any other failure to read it raises.
    // A failed read leaves the configuration as it was before the call.
    void read(const std::filesystem::path& path);
    // The same for text; `source` names it in error messages.
    void read_string(std::string_view text, const std::string& source = "<string>");

    std::vector<std::string> sections() const;
    bool has_section(const std::string& section) const;
    bool has_option(const std::string& section, const std::string& option) const;

    // The value, or NoSectionError / NoOptionError.
    std::string get(const std::string& section, const std::string& option) const;
    // The value, or the fallback when the section or the option is missing.
    std::string get(const std::string& section, const std::string& option,
                    const std::string& fallback) const;
    // The value, or nothing when the section or the option is missing.
    std::optional<std::string> find(const std::string& section, const std::string& option) const;

    // Sets an option of an existing section (NoSectionError otherwise); an
    // empty section name or "DEFAULT" sets a default.
    void set(const std::string& section, const std::string& option, const std::string& value);
    // Adds an empty section; DuplicateSectionError when it exists, ValueError for "DEFAULT".
    void add_section(const std::string& section);

    // The written form (LF line ends).
    std::string to_string() const;
    // Replaces the file with the written form: UTF-8, platform line ends.
    void write(const std::filesystem::path& path) const;

    // The stored form of an option name (lower case).
    static std::string option_key(std::string_view option);

private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> options;
        std::unordered_map<std::string, size_t> index;

        const std::string* find(const std::string& key) const;
        std::string& slot(const std::string& key);  // existing or new option
    };

    void parse(std::string_view text, bool universal_newlines, const std::string& source);
    const Section* find_section(const std::string& name) const;
    Section* find_section(const std::string& name);

    Section defaults_{std::string(DEFAULT_SECTION), {}, {}};
    std::vector<Section> sections_;
    std::unordered_map<std::string, size_t> section_index_;
};

}  // namespace tarvik

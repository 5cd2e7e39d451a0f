// The identifier vectors (verifier/identifier-vectors.json), derived apart from
// the verifier by tests/verifier/make_identifier_vectors.py, loaded once.
#pragma once

#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vectors {

// The file writes bytes as JSON strings whose characters U+0000 to U+00FF
// stand for the byte of the same number; the parser hands them over as UTF-8.
inline std::string Bytes(const std::string& utf8) {
    std::string bytes;
    for (std::size_t at = 0; at < utf8.size(); ++at) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        if (lead < 0x80) {
            bytes.push_back(static_cast<char>(lead));
        } else if ((lead == 0xC2 || lead == 0xC3) && at + 1 < utf8.size()) {
            bytes.push_back(static_cast<char>((lead & 0x1F) << 6 | (utf8[++at] & 0x3F)));
        } else {
            throw std::runtime_error("identifier vectors: a character above U+00FF in " + utf8);
        }
    }
    return bytes;
}

// Bytes undone: each byte as the character of the same number, in UTF-8.
inline std::string Text(const std::string& bytes) {
    std::string utf8;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8.push_back(c);
        } else {
            utf8.push_back(static_cast<char>(0xC0 | byte >> 6));
            utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return utf8;
}

// What a derived vector was made from; the salt is the vector's own unless
// it was made with another.
struct Parts {
    std::string volumeToken;
    std::string machineToken;
    std::string userToken;
    std::string salt;
};

struct Vector {
    std::string name;
    std::string salt;        // bytes
    std::string saltText;    // UTF-8, as talvenor-verify takes it
    std::string identifier;  // bytes
    std::optional<Parts> madeFrom;
    nlohmann::json expected;  // the verdict talvenor-verify prints, without the identifier

    std::string Reason() const { return expected.at("reason").get<std::string>(); }
    bool Valid() const { return expected.at("valid").get<bool>(); }
};

// Verdicts compared so that a failure reads briefly even for identifiers of
// thousands of characters: the reasons first, then the fields that differ.
inline ::testing::AssertionResult SameVerdict(const nlohmann::json& actual,
                                              const nlohmann::json& expected) {
    if (actual.value("reason", "") != expected.value("reason", "")) {
        return ::testing::AssertionFailure() << "reason " << actual.value("reason", "(none)")
                                             << ", expected " << expected.value("reason", "");
    }
    if (actual != expected) {
        return ::testing::AssertionFailure()
               << "fields differ: " << nlohmann::json::diff(expected, actual).dump();
    }
    return ::testing::AssertionSuccess();
}

inline std::vector<Vector> Load() {
    std::ifstream file(TALVENOR_IDENTIFIER_VECTORS);
    const nlohmann::json document = nlohmann::json::parse(file);
    std::vector<Vector> loaded;
    for (const nlohmann::json& entry : document.at("vectors")) {
        Vector vector;
        vector.name = entry.at("name").get<std::string>();
        vector.saltText = entry.at("salt").get<std::string>();
        vector.salt = Bytes(vector.saltText);
        vector.identifier = Bytes(entry.at("identifier").get<std::string>());
        vector.expected = entry.at("expected");
        if (entry.contains("madeFrom")) {
            const nlohmann::json& parts = entry.at("madeFrom");
            vector.madeFrom = Parts{Bytes(parts.at("volumeToken").get<std::string>()),
                                    Bytes(parts.at("machineToken").get<std::string>()),
                                    Bytes(parts.at("userToken").get<std::string>()),
                                    Bytes(parts.value("salt", vector.saltText))};
        }
        loaded.push_back(vector);
    }
    return loaded;
}

inline const std::vector<Vector>& All() {
    static const std::vector<Vector> all = Load();
    return all;
}

}  // namespace vectors

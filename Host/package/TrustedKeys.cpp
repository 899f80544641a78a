#include "TrustedKeys.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "TestSeams.h"

namespace {

const char kKeySuffix[] = ".pub";

bool HasKeySuffix(const std::string& name) {
    const size_t suffix = sizeof kKeySuffix - 1;
    return name.size() > suffix && name.compare(name.size() - suffix, suffix, kKeySuffix) == 0;
}

// Reads at most kMaxKeyFile bytes of path; false when it holds more.
bool ReadKeyFile(const std::string& path, std::string* text, std::string* problem) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *problem = std::strerror(errno);
        return false;
    }
    char buffer[kMaxKeyFile + 1];
    const size_t got = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    if (got > kMaxKeyFile) {
        *problem = "longer than " + std::to_string(kMaxKeyFile) + " bytes";
        return false;
    }
    text->assign(buffer, got);
    return true;
}

void AddKey(const std::string& text, const std::string& source, STrustStore* store) {
    store->configured = true;
    STrustedKey trusted;
    std::string problem;
    if (!ParsePublicKey(text, &trusted.key, &problem)) {
        store->problems.push_back(source + ": " + problem);
        return;
    }
    trusted.source = source;
    store->keys.push_back(trusted);
}

}  // namespace

void AddKeyTexts(const char* const* texts, const std::string& source, STrustStore* store) {
    for (; *texts != nullptr; ++texts)
        AddKey(*texts, source, store);
}

void AddKeyDirectory(const char* dir, STrustStore* store) {
    char rooted[1024];
    if (!RootedPath(dir, rooted, sizeof rooted))
        return;
    DIR* listing = opendir(rooted);
    if (listing == nullptr) {
        if (errno != ENOENT) {
            store->configured = true;
            store->problems.push_back(std::string(dir) + ": " + std::strerror(errno));
        }
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        if (HasKeySuffix(entry->d_name))
            names.push_back(entry->d_name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string shown = std::string(dir) + "/" + name;
        std::string text, problem;
        if (ReadKeyFile(std::string(rooted) + "/" + name, &text, &problem)) {
            AddKey(text, shown, store);
        } else {
            store->configured = true;
            store->problems.push_back(shown + ": " + problem);
        }
    }
}

STrustStore LoadTrustStore() {
    STrustStore store;
    AddKeyTexts(kBuiltInKeyTexts, "built in", &store);
    AddKeyDirectory(kTrustedKeysDir, &store);
    return store;
}

const STrustedKey* FindTrustedKey(const STrustStore& store, const KeyNumber& keyNumber) {
    for (const STrustedKey& trusted : store.keys) {
        if (trusted.key.keyNumber == keyNumber)
            return &trusted;
    }
    return nullptr;
}

// A fresh directory under /tmp per test, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> seq{0};
        root = "/tmp/nimbrel-fs-" + std::to_string(getpid()) + "-" + std::to_string(seq++);
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
    void write(const std::string& rel, const std::string& text) const { std::ofstream(at(rel)) << text; }
    std::string read(const std::string& rel) const {
        std::ifstream in(at(rel));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool exists(const std::string& rel) const {
        struct stat st;
        return lstat(at(rel).c_str(), &st) == 0;
    }
    std::string root;
};

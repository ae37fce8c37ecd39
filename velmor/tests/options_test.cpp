// Option pairs into g_par: conversion, truncation, saturation, overrides and
// the words that are not pairs.
#include "core/options.h"
#include "core/params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Options : public ::testing::Test {
protected:
    void SetUp() override { saved_ = g_par; }
    void TearDown() override { g_par = saved_; }

    // Parses mode, two paths and the given words.
    void Parse(std::vector<std::string> words, const char* mode = "--remesh")
    {
        words.insert(words.begin(), {"velmor", mode, "in.bin", "out.bin"});
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        parse_command_line((int)words.size(), argv.data(), &fairing_, &draping_);
    }

    params saved_;
    int fairing_ = -1, draping_ = -1;
};

TEST_F(Options, DefaultsStandWithoutPairs)
{
    Parse({});
    EXPECT_EQ(g_par.rim, 0.5);
    EXPECT_EQ(g_par.grad, 0.5);
    EXPECT_EQ(g_par.far, 6.0);
    EXPECT_EQ(g_par.far_ratio, 0.35);
    EXPECT_EQ(g_par.collapse, 0.5);
    EXPECT_EQ(g_par.dev_rim, 0.05);
    EXPECT_EQ(g_par.dev_in, 0.3);
    EXPECT_EQ(g_par.area_grow, 1.001);
    EXPECT_EQ(g_par.normal_dot, 0.5);
    EXPECT_EQ(g_par.flip_passes, 5);
    EXPECT_EQ(g_par.collapse_passes, 3);
    EXPECT_EQ(g_par.max_passes, 40);
    EXPECT_EQ(g_par.stop_frac, 0.0005);
    EXPECT_EQ(g_par.max_faces, 400000);
    EXPECT_EQ(g_par.radius, 10.0);
    EXPECT_EQ(g_par.clear, 0.3);
    EXPECT_EQ(g_par.clear_max, 1.5);
    EXPECT_EQ(g_par.dbord, 0.5);
    EXPECT_EQ(g_par.drap_passes, 10);
    EXPECT_EQ(g_par.cg_tol, 1e-12);
    EXPECT_EQ(g_par.cg_max, 20000);
    EXPECT_EQ(g_par.rim_grad, 0.0);
}

TEST_F(Options, ModeWordsSetTheFlags)
{
    struct Case { const char* mode; int fairing, draping; };
    const Case cases[] = {{"--remesh", 0, 0}, {"--smooth", 1, 0}, {"--drape", 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        Parse({}, c.mode);
        EXPECT_EQ(fairing_, c.fairing);
        EXPECT_EQ(draping_, c.draping);
    }
}

TEST_F(Options, EveryNameReachesItsField)
{
    struct Case { const char* name; double want; double (*get)(); };
    const Case cases[] = {
        {"--rim", 1.25, [] { return g_par.rim; }},
        {"--grad", 0.75, [] { return g_par.grad; }},
        {"--far", 4.5, [] { return g_par.far; }},
        {"--far-ratio", 0.25, [] { return g_par.far_ratio; }},
        {"--collapse", 0.125, [] { return g_par.collapse; }},
        {"--dev-rim", 0.5, [] { return g_par.dev_rim; }},
        {"--dev-in", 0.625, [] { return g_par.dev_in; }},
        {"--area-grow", 1.5, [] { return g_par.area_grow; }},
        {"--normal-dot", 0.875, [] { return g_par.normal_dot; }},
        {"--flip-passes", 7, [] { return (double)g_par.flip_passes; }},
        {"--collapse-passes", 8, [] { return (double)g_par.collapse_passes; }},
        {"--max-passes", 9, [] { return (double)g_par.max_passes; }},
        {"--stop-frac", 0.001, [] { return g_par.stop_frac; }},
        {"--max-faces", 12345, [] { return (double)g_par.max_faces; }},
        {"--radius", 2.5, [] { return g_par.radius; }},
        {"--clear", 0.375, [] { return g_par.clear; }},
        {"--clear-max", 3.5, [] { return g_par.clear_max; }},
        {"--dbord", 1.75, [] { return g_par.dbord; }},
        {"--drap-passes", -3, [] { return (double)g_par.drap_passes; }},
        {"--cg-tol", 1e-9, [] { return g_par.cg_tol; }},
        {"--cg-max", 77, [] { return (double)g_par.cg_max; }},
        {"--rim-grad", 1.2, [] { return g_par.rim_grad; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char value[64];
        snprintf(value, sizeof value, "%.17g", c.want);
        Parse({c.name, value});
        EXPECT_EQ(c.get(), c.want);
        g_par = saved_;
    }
}

TEST_F(Options, ValuesConvertTruncateAndSaturate)
{
    struct Case { const char* name; const char* value; double want; double (*get)(); };
    auto flips = [] { return (double)g_par.flip_passes; };
    auto faces = [] { return (double)g_par.max_faces; };
    auto rim = [] { return g_par.rim; };
    const Case cases[] = {
        {"--flip-passes", "2.9", 2, flips},
        {"--flip-passes", "-0.5", 0, flips},
        {"--flip-passes", "-2.9", -2, flips},
        {"--max-faces", "1e6", 1000000, faces},
        {"--rim", "abc", 0, rim},
        {"--rim", "  3.5mm", 3.5, rim},
        {"--rim", "1,5", 1, rim},
        {"--flip-passes", "1e10", 2147483647.0, flips},
        {"--flip-passes", "-1e10", -2147483648.0, flips},
        {"--flip-passes", "inf", 2147483647.0, flips},
        {"--flip-passes", "nan", 0, flips},
        {"--max-faces", "1e30", 9223372036854775807.0, faces},
        {"--max-faces", "-inf", -9223372036854775808.0, faces},
        {"--max-faces", "nan", 0, faces},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.value);
        Parse({c.name, c.value});
        EXPECT_EQ(c.get(), c.want);
        g_par = saved_;
    }
    Parse({"--max-faces", "1e30"});
    EXPECT_EQ(g_par.max_faces, INT64_MAX);
    Parse({"--max-faces", "-1e30"});
    EXPECT_EQ(g_par.max_faces, INT64_MIN);
}

TEST_F(Options, PairsOverrideAndALoneWordIsIgnored)
{
    Parse({"--max-passes", "2", "--max-passes", "7"});
    EXPECT_EQ(g_par.max_passes, 7);
    g_par = saved_;

    Parse({"--rim", "--grad"});
    EXPECT_EQ(g_par.rim, 0.0);
    EXPECT_EQ(g_par.grad, saved_.grad);
    g_par = saved_;

    // A trailing word without a partner is not even looked up.
    Parse({"--bogus"});
    EXPECT_EQ(g_par.rim, saved_.rim);
    Parse({"--radius", "4", "--bogus"});
    EXPECT_EQ(g_par.radius, 4.0);
}

}  // namespace

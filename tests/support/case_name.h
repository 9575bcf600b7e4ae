// Names parameterised cases by their own `name` field, so that ctest names stay readable and
// the same from build to build.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct CaseName {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& param) const {
        return param.param.name;
    }
};

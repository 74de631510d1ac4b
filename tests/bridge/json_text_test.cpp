#include <gtest/gtest.h>

#include <cmath>

#include "bridge/json_text.h"

TEST(json_text, keeps_kinds_apart) {
    struct Row { Value in; std::string out; };
    const Row rows[] = {
        {Value{{"n", 35}}, R"({"n":35})"},
        {Value{{"n", int64_t(90000000000)}}, R"({"n":90000000000})"},
        {Value{{"b", true}}, R"({"b":true})"},
        {Value{{"s", "복구 완료"}}, "{\"s\":\"복구 완료\"}"},
        {Value{{"a", Value::array({1, "x", false})}}, R"({"a":[1,"x",false]})"},
        {Value::object(), "{}"},
    };
    for (const auto& r : rows) EXPECT_EQ(jsonString(r.in), r.out);
}

TEST(json_text, floats_read_back_equal) {
    for (double d : {35.7, 0.1, 1.0 / 3.0, 81.0, 1e-9, 29.97, 123456789.123}) {
        Value back = Value::parse(jsonString(Value{{"f", d}}));
        ASSERT_TRUE(back["f"].is_number());
        EXPECT_EQ(back["f"].get<double>(), d);
    }
}

TEST(json_text, unencodable_values_become_empty_object) {
    EXPECT_EQ(jsonString(Value{{"d", std::nan("")}}), "{}");
    EXPECT_EQ(jsonString(Value{{"d", Value::array({INFINITY})}}), "{}");
    EXPECT_EQ(jsonString(Value{{"s", std::string("\xff\xfe")}}), "{}");
}

#include "wire/object.h"

#include <gtest/gtest.h>

TEST(PObjectKinds, ConstructionGivesTheRightKind) {
    EXPECT_TRUE(PObject().isNull());
    EXPECT_TRUE(PObject("x").isString());
    EXPECT_TRUE(PObject(ustring("x")).isString());
    EXPECT_TRUE(PObject(5).isInteger());
    EXPECT_TRUE(PObject(uint64_t{5}).isInteger());
    EXPECT_TRUE(PObject(true).isInteger());
    EXPECT_TRUE(PObject(PObject::binary_type("/tmp/f", 1, 2)).isBinary());
    EXPECT_TRUE(PObject(PObject::map_type{}).isMap());
    EXPECT_TRUE(PObject(PObject::array_type{}).isArray());
    EXPECT_TRUE(PObject(PObject::map_type{}).isContainer());
    EXPECT_TRUE(PObject(PObject::array_type{}).isContainer());
    EXPECT_FALSE(PObject(1).isContainer());
    EXPECT_TRUE(PObject(1).isPrimitive());
    EXPECT_TRUE(PObject("s").isPrimitive());
    EXPECT_TRUE(PObject(PObject::binary_type()).isPrimitive());
    EXPECT_FALSE(PObject().isPrimitive());
}

TEST(PObjectKinds, EmptinessAndTruth) {
    EXPECT_TRUE(PObject().isEmpty());
    EXPECT_TRUE(PObject("").isEmpty());
    EXPECT_TRUE(PObject(PObject::array_type{}).isEmpty());
    EXPECT_TRUE(PObject(PObject::map_type{}).isEmpty());
    EXPECT_TRUE(PObject(PObject::binary_type("", 3, 4)).isEmpty());
    EXPECT_FALSE(PObject(0).isEmpty());  // integers are never empty
    EXPECT_FALSE(PObject(0).asBool());
    EXPECT_TRUE(PObject(7).asBool());
    EXPECT_TRUE(PObject("x").asBool());
    EXPECT_FALSE(PObject("").asBool());
    EXPECT_FALSE(PObject().asBool());
    EXPECT_TRUE(PObject(PObject::binary_type("/p", 0, 0)).asBool());
}

TEST(PObjectIntegers, SignExtensionTruncationAndText) {
    PObject minus_one(-1);
    EXPECT_EQ(minus_one.asUInt64(), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(minus_one.asInt64(), -1);
    EXPECT_EQ(minus_one.asInt32(), -1);
    EXPECT_EQ(minus_one.asUInt16(), 0xFFFF);
    PObject big(uint64_t{0x123456789ABCDEF0ull});
    EXPECT_EQ(big.asUInt32(), 0x9ABCDEF0u);
    EXPECT_EQ(big.asUInt16(), 0xDEF0);
    EXPECT_EQ(big.asUInt8(), 0xF0);
    EXPECT_EQ(big.asInt8(), static_cast<int8_t>(0xF0));
    EXPECT_EQ(PObject(uint64_t{4294967297ull}).asString(), "1");  // low 32 bits only
    EXPECT_EQ(PObject(uint64_t{4294967297ull}).toString(), "4294967297");
    EXPECT_EQ(PObject(true).asInteger(), 1u);
    EXPECT_EQ(PObject("12").asInteger(), 0u);  // no parsing of texts
    EXPECT_EQ(PObject(3u).asString(), "3");
}

TEST(PObjectAccess, ReadOnlyAccessReturnsDefaultsAndChangesNothing) {
    const PObject s("text");
    EXPECT_TRUE(s.asMap().empty());
    EXPECT_TRUE(s.asArray().empty());
    EXPECT_TRUE(s.asBinary().empty());
    EXPECT_TRUE(s["key"].isNull());
    EXPECT_TRUE(s[0].isNull());
    EXPECT_FALSE(s.hasMember("key"));
    EXPECT_TRUE(s.isString());
    EXPECT_EQ(&s["key"], &PObject::empty_object);
    EXPECT_EQ(PObject().asString(), "");
}

TEST(PObjectAccess, WritableAccessConverts) {
    PObject v("text");
    v["a"] = 1;
    EXPECT_TRUE(v.isMap());
    EXPECT_TRUE(v.hasMember("a"));
    v["b"];  // a missing key is inserted as null
    EXPECT_TRUE(v.hasMember("b"));
    EXPECT_TRUE(v["b"].isNull());

    PObject w(5);
    w.asArray().push_back(PObject("x"));
    EXPECT_TRUE(w.isArray());
    ASSERT_EQ(w.asArray().size(), 1u);

    PObject b(PObject::map_type{{"k", PObject(1)}});
    b.asBinary().path = "/tmp/x";
    EXPECT_TRUE(b.isBinary());
    EXPECT_EQ(b.asBinary().offset, 0u);
    EXPECT_EQ(b.asBinary().path, "/tmp/x");

    // Converting an existing value of the same kind keeps it.
    b.asBinary().offset = 9;
    EXPECT_EQ(b.asBinary().offset, 9u);
}

TEST(PObjectAccess, IndexOnArraysAndMaps) {
    PObject a;
    a.asArray() = {PObject(1), PObject("two")};
    EXPECT_EQ(a[0].asInteger(), 1u);
    EXPECT_EQ(a[1].asString(), "two");
    EXPECT_TRUE(a[2].isNull());
    EXPECT_TRUE(a[-1].isNull());

    PObject m;
    m["b"] = 2;
    m["a"] = 1;
    m["_c"] = 3;  // "_" sorts before lower-case letters
    EXPECT_EQ(m[0].asInteger(), 3u);
    EXPECT_EQ(m[1].asInteger(), 1u);
    EXPECT_EQ(m[2].asInteger(), 2u);
    EXPECT_TRUE(m[3].isNull());
}

TEST(PObjectAccess, MapKeysOrderByUnsignedBytes) {
    PObject m;
    m["\xc3\xa9"] = 1;  // é, a byte above 0x7F
    m["z"] = 2;
    m["Z"] = 3;
    std::vector<ustring> keys;
    for (const auto& [k, v] : m.asMap()) keys.push_back(k);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0], "Z");
    EXPECT_EQ(keys[1], "z");
    EXPECT_EQ(keys[2], "\xc3\xa9");
}

TEST(PObjectValue, CopiesAreDeepAndSwapExchanges) {
    PObject a;
    a["list"].asArray().push_back(PObject("x"));
    PObject b = a;
    b["list"].asArray().push_back(PObject("y"));
    EXPECT_EQ(a["list"].asArray().size(), 1u);
    EXPECT_EQ(b["list"].asArray().size(), 2u);

    // Assigning a member of a value to the value itself.
    PObject c;
    c["inner"]["x"] = 5;
    c = c["inner"];
    EXPECT_EQ(c["x"].asInteger(), 5u);
    EXPECT_FALSE(c.hasMember("inner"));

    PObject s("s"), i(1);
    s.swap(i);
    EXPECT_TRUE(s.isInteger());
    EXPECT_TRUE(i.isString());

    PObject moved(std::move(b));
    EXPECT_TRUE(b.isNull());
    EXPECT_EQ(moved["list"].asArray().size(), 2u);

    moved.clear();
    EXPECT_TRUE(moved.isNull());
}

TEST(PObjectValue, TextForm) {
    EXPECT_EQ(PObject().toString(), "null");
    EXPECT_EQ(PObject("hi").toString(), "\"hi\"");
    EXPECT_EQ(PObject(PObject::binary_type("/tmp/f", 3, 10)).toString(), "{offset: 3, length: 10, path: \"/tmp/f\"}");
    PObject v;
    v["action"] = "link";
    v["n"].asArray() = {PObject(1), PObject(), PObject(PObject::map_type{})};
    EXPECT_EQ(v.toString(), "{\"action\": \"link\", \"n\": [1, null, {}]}");
    EXPECT_EQ(PObject(PObject::array_type{}).toString(), "[]");
}

#include "orvex/data/PosixAcl.h"

#include "data/AclFixtures.h"
#include "data/TestFiles.h"

#include <gtest/gtest.h>

#include <string>

using namespace orvex;
using namespace orvex::testing;

namespace {

struct InheritCase {
    const char* name;
    std::string defaultAcl;
    mode_t mode;
    std::string accessAcl; // empty: none
};

const InheritCase kInheritCases[] = {
    {"owner, group and other only: no ACL of its own",
     aclBytes({{AclUserObj, 6}, {AclGroupObj, 6}, {AclOther, 0}}), 0660, ""},
    {"execute bits are never granted", aclBytes({{AclUserObj, 7}, {AclGroupObj, 7}, {AclOther, 7}}), 0666, ""},
    {"read-only owner", aclBytes({{AclUserObj, 4}, {AclGroupObj, 0}, {AclOther, 0}}), 0400, ""},
    {"a mask restricts the group bits and leaves the owning group's entry",
     aclBytes({{AclUserObj, 6}, {AclGroupObj, 6}, {AclMask, 4}, {AclOther, 4}}), 0644,
     aclBytes({{AclUserObj, 6}, {AclGroupObj, 6}, {AclMask, 4}, {AclOther, 4}})},
    {"named entries stay, the mask loses execute",
     aclBytes({{AclUserObj, 7}, {AclUser, 7, 1}, {AclGroupObj, 4}, {AclGroup, 2, 2}, {AclMask, 7}, {AclOther, 0}}),
     0660,
     aclBytes({{AclUserObj, 6}, {AclUser, 7, 1}, {AclGroupObj, 4}, {AclGroup, 2, 2}, {AclMask, 6}, {AclOther, 0}})},
};

class InheritDefaultAcl : public ::testing::TestWithParam<InheritCase> {};

} // namespace

TEST_P(InheritDefaultAcl, GivesWhatTheKernelGivesAFileCreated0666) {
    const InheritCase& c = GetParam();
    const std::optional<InheritedPermissions> inherited = inheritDefaultAcl(c.defaultAcl, 0666);
    ASSERT_TRUE(inherited);
    EXPECT_EQ(inherited->mode, c.mode);
    EXPECT_EQ(inherited->accessAcl, c.accessAcl);

    // The kernel, where the file system keeps ACLs, agrees.
    TemporaryDirectory directory;
    if (!setAcl(directory.path, kDefaultAclAttribute, c.defaultAcl))
        GTEST_SKIP() << "no POSIX ACLs on this file system";
    const Permissions created = plainlyCreated(directory.path);
    EXPECT_EQ(created.mode, c.mode);
    EXPECT_EQ(created.acl.value_or(""), c.accessAcl);
}

INSTANTIATE_TEST_SUITE_P(Cases, InheritDefaultAcl, ::testing::ValuesIn(kInheritCases));

TEST(InheritDefaultAcl, RefusesWhatTheKernelWouldNotKeep) {
    const std::string valid = aclBytes({{AclUserObj, 6}, {AclGroupObj, 6}, {AclOther, 0}});
    std::string otherVersion = valid;
    otherVersion[0] = 1;
    const std::string cases[] = {
        "",
        valid.substr(0, valid.size() - 1),
        otherVersion,
        aclBytes({{AclUserObj, 6}, {AclGroupObj, 6}, {static_cast<AclTag>(0x40), 6}, {AclOther, 0}}),
        aclBytes({{AclUserObj, 6}, {AclGroupObj, 6}}),
        aclBytes({{AclGroupObj, 6}, {AclOther, 0}}),
        aclBytes({{AclUserObj, 6}, {AclOther, 0}}),
    };
    for (const std::string& acl : cases)
        EXPECT_FALSE(inheritDefaultAcl(acl, 0666)) << acl.size() << " bytes";
}

// Every public header of the text layer compiles on its own and together.
#include <host/args.hh>
#include <host/checksum.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/etheraddress.hh>
#include <host/ipaddress.hh>
#include <host/ipflowid.hh>

#include <gtest/gtest.h>

TEST(Headers, Layout) {
    EXPECT_EQ(sizeof(IPFlowID), 12u);
    EXPECT_EQ(sizeof(IPAddress), 4u);
    EXPECT_EQ(sizeof(EtherAddress), 6u);
}

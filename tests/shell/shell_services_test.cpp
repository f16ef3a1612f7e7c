#include "shell_services.h"

#include <gtest/gtest.h>

namespace tarvelin::shell {
namespace {

TEST(ShellServices, FiltersBecomeQtLinesWithPatternsInEitherCase)
{
    EXPECT_EQ(QtFileFilter("All Support(*.ISO;*.BIN;*.CIF;*.IMG;*.NRG)|*.ISO;*.BIN;*.CIF;*.IMG;*.NRG||").toStdString(),
              "All Support(*.ISO;*.BIN;*.CIF;*.IMG;*.NRG) (*.ISO *.iso *.BIN *.bin *.CIF *.cif *.IMG *.img *.NRG "
              "*.nrg)");
    // The blank after the first pattern list is the program's own; it does
    // not end up in a pattern.
    EXPECT_EQ(QtFileFilter("(*.image)|*.image |(*.*)|*.*||").toStdString(),
              "(*.image) (*.image *.IMAGE);;(*.*) (*.*)");
    EXPECT_EQ(QtFileFilter("(*.*)|*.*|All files (*)|*||").toStdString(), "(*.*) (*.*);;All files (*) (*)");
    EXPECT_EQ(QtFileFilter("").toStdString(), "");
}

TEST(ShellServices, DefaultSuffixLosesItsDot)
{
    EXPECT_EQ(QtDefaultSuffix(".ISO").toStdString(), "ISO");
    EXPECT_EQ(QtDefaultSuffix("image").toStdString(), "image");
}

} // namespace
} // namespace tarvelin::shell

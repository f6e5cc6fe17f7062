// What both generations of overdraft account promise, written once and run
// for each: OverdraftD (heap names) and Overdraft (fixed name).
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <type_traits>

#include "accounts/fixedcredit.h"
#include "accounts/heapcredit.h"
#include "tests/support/streamcapture.h"

namespace {

// Builds an account of each generation from balance, loan limit and rate.
template <class Account>
Account Make(double balance, double limit, double rate);
template <>
OverdraftD Make(double balance, double limit, double rate) {
  return OverdraftD("A", "B", 1, balance, limit, rate);
}
template <>
Overdraft Make(double balance, double limit, double rate) {
  return Overdraft("A", 1, balance, limit, rate);
}

template <class Account>
class Overdrafts : public ::testing::Test {};

// Names each instance by its class: Overdrafts/OverdraftD.NAME.
struct ByClass {
  template <class Account>
  static std::string GetName(int) {
    return std::is_same<Account, OverdraftD>::value ? "OverdraftD"
                                                    : "Overdraft";
  }
};
using Generations = ::testing::Types<OverdraftD, Overdraft>;
TYPED_TEST_SUITE(Overdrafts, Generations, ByClass);

TYPED_TEST(Overdrafts, GrantedAdvanceAlwaysCompletesAndEmptiesTheAccount) {
  // Cent amounts are not exact in binary: balance + (amount - balance) can
  // come out a hair below amount (0.63 and 1.68 do).
  StreamCapture out;
  for (int cents = 0; cents <= 200; ++cents) {
    for (int more = 1; more <= 200; ++more) {
      TypeParam account = Make<TypeParam>(cents / 100.0, 500.0, 0.1);
      account.Withdraw((cents + more) / 100.0);
      const std::string said = out.Take();
      ASSERT_EQ(said.find("canceled"), std::string::npos)
          << cents << " + " << more << " cents: " << said
          << "a granted advance was refused by the base class: after "
             "depositing the advance, withdraw the balance itself";
      ASSERT_EQ(account.Balance(), 0.0)
          << cents << " + " << more << " cents: a granted advance must "
          << "leave the balance at exactly 0";
    }
  }
}

TYPED_TEST(Overdrafts, GrantsAWithdrawalThatUsesExactlyTheCreditLeft) {
  StreamCapture out;
  TypeParam account = Make<TypeParam>(100.0, 50.0, 0.5);
  account.Withdraw(100.0);
  EXPECT_EQ(out.Take(), "")
      << "withdrawing exactly the balance takes the plain path: no advance";
  account.Withdraw(20.0);  // an advance of 20: owes 30, 20 of credit left
  EXPECT_EQ(out.Take(), "Bank advance: $20.00\nFinance charge: $10.00\n");
  account.Withdraw(20.0);
  EXPECT_EQ(out.Take(), "Bank advance: $20.00\nFinance charge: $10.00\n")
      << "a withdrawal that uses exactly the credit left must be granted";
  EXPECT_EQ(account.Balance(), 0.0);
  account.Withdraw(0.01);
  EXPECT_EQ(out.Take(), "Credit limit exceeded. Transaction cancelled.\n")
      << "a withdrawal one cent beyond the credit left must be refused";
  EXPECT_EQ(account.Balance(), 0.0);
}

TYPED_TEST(Overdrafts, WithdrawAndDisplayAddMoneyFormatToEveryFlagSetBefore) {
  StreamCapture out;
  const std::ios_base::fmtflags before =
      std::ios_base::boolalpha | std::ios_base::showpos |
      std::ios_base::uppercase | std::ios_base::internal;
  const char* const calls[] = {"an advance", "a refused withdrawal",
                               "a plain withdrawal", "a display"};
  TypeParam account = Make<TypeParam>(10.0, 500.0, 0.1);
  for (int call = 0; call < 4; ++call) {
    std::cout.flags(before);
    std::cout.precision(7);
    if (call == 0) account.Withdraw(20.0);
    if (call == 1) account.Withdraw(1e9);
    if (call == 2) account.Withdraw(0.0);
    if (call == 3) account.ViewAcct();
    EXPECT_EQ(std::cout.flags(),
              before | std::ios_base::fixed | std::ios_base::showpoint)
        << "after " << calls[call] << " the stream must keep every flag it "
        << "had and add fixed and showpoint";
    EXPECT_EQ(std::cout.precision(), 2)
        << "after " << calls[call] << " the precision must be 2";
  }
}

}  // namespace

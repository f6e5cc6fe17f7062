#include "accounts/fixedcredit.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "tests/support/streamcapture.h"

namespace {

std::string Display(const BankAccount& account) {
  StreamCapture out;
  account.ViewAcct();  // virtual: an overdraft adds its two lines
  return out.Take();
}

TEST(Overdraft, LendsTheShortfallAndRefusesBeyondTheCreditLeft) {
  StreamCapture out;
  Overdraft account("Tobias Quenford", 223391, 8000, 500, 0.1);
  account.Withdraw(8000);  // equal to the balance: the plain path
  EXPECT_EQ(out.Take(), "");
  account.Deposit(8000);

  account.Withdraw(8200);
  EXPECT_EQ(out.Take(), "Bank advance: $200.00\nFinance charge: $20.00\n");
  EXPECT_EQ(account.Balance(), 0.0);
  account.Withdraw(300);  // 280 of credit left
  EXPECT_EQ(out.Take(), "Credit limit exceeded. Transaction cancelled.\n");
  EXPECT_EQ(account.Balance(), 0.0);
  account.Deposit(100);  // the debt stays
  EXPECT_EQ(Display(account),
            "Client: Tobias Quenford\nAccount Number: 223391\n"
            "Balance: $100.00\nMaximum loan: $500.00\n"
            "Owed to bank: $220.00\n");
}

TEST(Overdraft, GrantedAdvanceAlwaysCompletesAndEmptiesTheAccount) {
  // Cent amounts are not exact in binary: balance + (amount - balance) can
  // come out a hair below amount (0.63 and 1.68 do).
  StreamCapture out;
  for (int cents = 0; cents <= 200; ++cents) {
    for (int more = 1; more <= 200; ++more) {
      Overdraft account("A", 1, cents / 100.0, 500.0, 0.1);
      account.Withdraw((cents + more) / 100.0);
      const std::string said = out.Take();
      ASSERT_EQ(said.find("canceled"), std::string::npos)
          << cents << " + " << more << " cents: " << said;
      ASSERT_EQ(account.Balance(), 0.0) << cents << " + " << more << " cents";
    }
  }
}

TEST(Overdraft, GrantsAWithdrawalThatUsesExactlyTheCreditLeft) {
  StreamCapture out;
  Overdraft account("Ann", 1, 10.0, 50.0, 0.5);
  account.Withdraw(30.0);  // advance 20: owes 30, 20 of credit left
  out.Take();
  account.Withdraw(20.0);
  EXPECT_EQ(out.Take(), "Bank advance: $20.00\nFinance charge: $10.00\n");
  EXPECT_EQ(account.Balance(), 0.0);
  account.Withdraw(0.01);
  EXPECT_EQ(out.Take(), "Credit limit exceeded. Transaction cancelled.\n");
}

TEST(Overdraft, BuildsFromAPlainAccountWithWholeNameAndNothingOwed) {
  BankAccount plain("Exactly thirty-four characters!!!!", -7, 123.25);
  Overdraft account(plain, 500, 0.1);
  EXPECT_EQ(Display(account),
            "Client: Exactly thirty-four characters!!!!\n"
            "Account Number: -7\nBalance: $123.25\n"
            "Maximum loan: $500.00\nOwed to bank: $0.00\n");
}

TEST(Overdraft, WithdrawAndDisplayAddMoneyFormatToEveryFlagSetBefore) {
  StreamCapture out;
  const std::ios_base::fmtflags before = std::ios_base::boolalpha |
                                         std::ios_base::uppercase |
                                         std::ios_base::internal;
  Overdraft account("Ann", 1, 10.0);
  for (int call = 0; call < 3; ++call) {
    std::cout.flags(before);
    std::cout.precision(8);
    if (call == 0) account.Withdraw(20.0);  // an advance
    if (call == 1) account.Withdraw(1e9);   // refused
    if (call == 2) account.ViewAcct();
    EXPECT_EQ(std::cout.flags(),
              before | std::ios_base::fixed | std::ios_base::showpoint)
        << "call " << call;
    EXPECT_EQ(std::cout.precision(), 2) << "call " << call;
  }
}

}  // namespace

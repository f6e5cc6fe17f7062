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
  EXPECT_EQ(out.Take(), "Bank advance: $200.00\nFinance charge: $20.00\n")
      << "a withdrawal beyond the balance must lend the shortfall";
  EXPECT_EQ(account.Balance(), 0.0);
  account.Withdraw(300);  // 280 of credit left
  EXPECT_EQ(out.Take(), "Credit limit exceeded. Transaction cancelled.\n")
      << "a withdrawal beyond the credit left must be refused";
  EXPECT_EQ(account.Balance(), 0.0);
  account.Deposit(100);  // the debt stays
  EXPECT_EQ(Display(account),
            "Client: Tobias Quenford\nAccount Number: 223391\n"
            "Balance: $100.00\nMaximum loan: $500.00\n"
            "Owed to bank: $220.00\n")
      << "an overdraft shown through a BankAccount reference must add its "
         "loan lines: ViewAcct must be virtual, and add them";
}

TEST(Overdraft, BuildsFromAPlainAccountWithWholeNameAndNothingOwed) {
  BankAccount plain("Exactly thirty-four characters!!!!", -7, 123.25);
  Overdraft account(plain, 500, 0.1);
  EXPECT_EQ(Display(account),
            "Client: Exactly thirty-four characters!!!!\n"
            "Account Number: -7\nBalance: $123.25\n"
            "Maximum loan: $500.00\nOwed to bank: $0.00\n");
}

}  // namespace

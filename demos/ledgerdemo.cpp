// Plain and overdraft accounts with heap names, copied by assignment (once
// from an account destroyed right after) and displayed: each copy owns its
// names.
#include <iostream>

#include "accounts/heapcredit.h"
#include "accounts/heapledger.h"
#include "demos/flushstdout.h"

int main() {
  BankAccountD mirela("Mirela Vont", 453216, 6000.0);
  BankAccountD plain;
  plain = mirela;
  plain.ViewAcct();
  std::cout << std::endl;

  OverdraftD tobias("Tobias Quenford", "Flint", 223391, 8000.0, 500.0, 0.1);
  OverdraftD credit;
  credit = tobias;
  credit.ViewAcct();
  std::cout << std::endl;
  {
    OverdraftD fromPlain(mirela, "cent", 500.0, 0.1);
    credit = fromPlain;
  }
  credit.ViewAcct();
  std::cout << "Bye!\n";
  return FlushStdout("ledgerdemo");
}

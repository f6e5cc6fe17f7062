// The money format every account display and overdraft withdrawal prints
// in: fixed notation, decimal point shown, two decimals.
#ifndef ACCOUNTS_MONEYFORMAT_H_
#define ACCOUNTS_MONEYFORMAT_H_

#include <ios>

// Puts a stream into the money format, which stays in force after the
// object is gone: on leaving it adds the flags the stream had before back
// to its flags, a union that clears nothing. The one exception is the
// floating-point field, which stays fixed: with scientific added back it
// would read fixed | scientific, hexfloat.
class MoneyFormat {
 public:
  explicit MoneyFormat(std::ios_base& stream)
      : stream_(stream),
        initial_(stream.setf(std::ios_base::fixed, std::ios_base::floatfield)) {
    stream.setf(std::ios_base::showpoint);
    stream.precision(2);
  }
  MoneyFormat(const MoneyFormat&) = delete;
  MoneyFormat& operator=(const MoneyFormat&) = delete;
  ~MoneyFormat() { stream_.setf(initial_ & ~std::ios_base::floatfield); }

 private:
  std::ios_base& stream_;  // not owned; must outlive this object
  std::ios_base::fmtflags initial_;
};

#endif  // ACCOUNTS_MONEYFORMAT_H_

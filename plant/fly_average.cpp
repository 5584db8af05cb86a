#include "plant/fly_average.h"

#include <cmath>
#include <string>

#include "journal/event_log.h"

namespace kalvix {

TFlyAverage::TFlyAverage() { Reset(); }

void TFlyAverage::SetSize(int32_t n) {
  if (n == size_) return;
  if (n < 2) {
    // Reported as an event rather than a message box: the caller may be the control thread,
    // which must never wait for an operator.
    PostEvent("Нельзя устанавливать размер среднего менше чем 2.");
    return;
  }
  if (n > kMaxSize) {
    PostEvent("Нельзя устанавливать размер среднего больше чем " + std::to_string(kMaxSize) + ".");
    return;
  }
  size_ = n;
  Reset();
}

void TFlyAverage::SetNewData(double x) {
  newData_ = x;
  accepted_ = false;
}

void TFlyAverage::SetAccepted(bool flag) {
  if (flag && !accepted_) {
    Add(newData_);
    accepted_ = true;
  }
}

void TFlyAverage::SetReadIndex(int32_t i) {
  if (i == readIndex_) return;
  if (i < 0 || i >= size_) {
    PostEvent("Индекс чтения должен быть в пределах от 0 до Size.");
    return;
  }
  readIndex_ = i;
}

double TFlyAverage::GetReadVal() const {
  if (readIndex_ < 0 || static_cast<size_t>(readIndex_) >= buffer_.size()) return 0.0;
  return buffer_[static_cast<size_t>(readIndex_)];
}

void TFlyAverage::SetSigma(double v) {
  if (v == -1) sigma_ = CalcSKO();
}

void TFlyAverage::Reset() {
  buffer_.assign(static_cast<size_t>(size_), 0.0);
  accepted_ = false;
  valCount_ = 0;
  writeIndex_ = 0;
  readIndex_ = 0;
  average_ = 0.0;
  totalSum_ = 0.0;
}

double TFlyAverage::Add(double x) {
  if (buffer_.empty()) return 0.0;
  if (valCount_ == 0) {
    average_ = x;
    totalSum_ = x;
    valCount_ = 1;
    buffer_[0] = x;
    writeIndex_ = 1;
  } else {
    double& slot = buffer_[static_cast<size_t>(writeIndex_)];
    if (valCount_ < size_) {
      slot = x;
      totalSum_ = x + totalSum_;
      ++valCount_;
    } else {
      totalSum_ = totalSum_ - slot;
      slot = x;
      totalSum_ = x + totalSum_;
    }
    writeIndex_ = writeIndex_ + 1 == size_ ? 0 : writeIndex_ + 1;
    average_ = totalSum_ / valCount_;
  }
  sigma_ = std::sqrt(std::fabs(totalSum_));
  return average_;
}

double TFlyAverage::CalcSKO() const {
  if (valCount_ <= 5) return 0.0;
  double s = 0, q = 0;
  for (int32_t i = 0; i < valCount_; ++i) {
    const double v = buffer_[static_cast<size_t>(i)];
    s += v;
    q += v * v;
  }
  const double n = valCount_;
  return std::sqrt(std::fabs((q - s * s / n) / (n - 1)));
}

double TFlyAverage::GetMax() const {
  if (valCount_ == 0) return 0.0;
  double max = buffer_[0];
  for (int32_t i = 1; i < valCount_; ++i) {
    if (buffer_[static_cast<size_t>(i)] > max) max = buffer_[static_cast<size_t>(i)];
  }
  return max;
}

}  // namespace kalvix

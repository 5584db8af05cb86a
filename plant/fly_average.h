// TFlyAverage: the moving average of one signal over its last Size values, kept in a ring
// buffer with a running sum, so that adding a value costs one subtraction and one addition.
//
// One object per signal slot. It has no lock: it is created and sized on the window thread
// while no acquisition thread runs, and afterwards used by the control thread alone.
#ifndef KALVIX_PLANT_FLY_AVERAGE_H_
#define KALVIX_PLANT_FLY_AVERAGE_H_

#include <cstdint>
#include <vector>

namespace kalvix {

class TFlyAverage {
 public:
  static constexpr int32_t kInitialSize = 10;
  // About 2.7 hours of cycles. A length typed by mistake (2000000000) would otherwise ask
  // for gigabytes for each of the 100 slots and end the process.
  static constexpr int32_t kMaxSize = 10000;

  TFlyAverage();

  int32_t GetSize() const { return size_; }
  // The same size keeps the stored values; another size of at least 2 empties the buffer.
  // A size below 2 or above kMaxSize is refused: the reason is posted as an event and
  // nothing changes.
  void SetSize(int32_t n);

  double GetNewData() const { return newData_; }
  // Offers a value; SetAccepted(true) then adds it, once however often it is called.
  void SetNewData(double x);
  bool GetAccepted() const { return accepted_; }
  void SetAccepted(bool flag);

  int32_t GetWriteIndex() const { return writeIndex_; }
  int32_t GetReadIndex() const { return readIndex_; }
  // An index outside 0..Size-1 is refused (event posted) and the old one kept.
  void SetReadIndex(int32_t i);
  double GetReadVal() const;

  double GetAverage() const { return average_; }
  double GetTotalSum() const { return totalSum_; }
  int32_t GetValCount() const { return valCount_; }

  double GetSigma() const { return sigma_; }
  // -1 replaces Sigma by CalcSKO(); any other value is ignored.
  void SetSigma(double v);

  // Empties the buffer (a new one of Size zeros); NewData and Sigma keep their values.
  void Reset();
  // Adds one value, dropping the oldest when full; returns the new average.
  double Add(double x);
  // Sample standard deviation of the stored values; 0 with five values or fewer.
  double CalcSKO() const;
  // Largest stored value; 0 when empty.
  double GetMax() const;

 private:
  int32_t size_ = kInitialSize;
  double newData_ = 0;
  bool accepted_ = false;
  int32_t writeIndex_ = 0;
  int32_t readIndex_ = 0;
  double average_ = 0;
  double totalSum_ = 0;
  int32_t valCount_ = 0;
  double sigma_ = 0;
  std::vector<double> buffer_;
};

}  // namespace kalvix

#endif  // KALVIX_PLANT_FLY_AVERAGE_H_

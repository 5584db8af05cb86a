#include "devices/bk003_link.h"

#include <array>
#include <string>
#include <utility>

#include "devices/port_open.h"
#include "journal/event_log.h"

namespace kalvix {

Bk003Link::Bk003Link(std::filesystem::path workDir, bool setTimeouts)
    : workDir_(std::move(workDir)), setTimeouts_(setTimeouts) {}

bool Bk003Link::BkOpenPort(std::string_view portName, int32_t speed) {
  Close();
  if (!IsAcceptedSpeed(speed)) {
    // A notice for the operator ("Фатальная ошибка!"); posted, because this runs on the
    // poller's thread, which must not wait for anyone to read it.
    PostEvent(kTextWrongSpeed);
    return false;
  }
  PortOpenPlan plan;
  plan.speed = speed;
  plan.timeoutsAfterLine =
      setTimeouts_ ? ReadPortTimeouts(workDir_, portName) : kDefaultPortTimeouts;
  const PortOpenResult result =
      RunPortOpen(port_, std::string(kDeviceNamespacePrefix) + std::string(portName), plan);
  if (result == PortOpenResult::kOk) return true;
  if (result == PortOpenResult::kCannotReadState) PostEvent(kTextCannotReadState);
  // A port that failed half-way is not kept: with the wrong line settings every exchange
  // would fail, and the poller reopens only an empty BkPort.
  Close();
  return false;
}

namespace {

// A write or read that failed: an I/O error, or a write the line did not take within its
// budget, is the line's failure; an interrupt or a closed port is this side's doing.
BusExchange FailedIo(const PortIo& io) {
  if (io.status == PortStatus::kIoError || io.status == PortStatus::kOk) {
    return BusExchange::Fault(BusFault::kIoError);
  }
  return {};
}

}  // namespace

BkExchangeResult Bk003Link::Exchange(int32_t deviceNum, int32_t bkk23Mask, BkReadings* readings) {
  last_ = {};
  if (!IsOpen()) return BkExchangeResult::kNotOpen;
  port_.DiscardInput();
  const std::array<uint8_t, kBkRequestLength> request = BkRequest(deviceNum);
  const auto start = std::chrono::steady_clock::now();
  const PortIo sent = port_.Write(request);
  if (!sent.Ok() || sent.count != request.size()) {
    last_ = FailedIo(sent);
    return BkExchangeResult::kWriteFailed;
  }

  std::array<uint8_t, kBkAnswerLength> answer{};
  const PortIo received = port_.Read(answer);
  if (!received.Ok()) {
    last_ = FailedIo(received);
    return BkExchangeResult::kReadFailed;
  }
  if (received.count < answer.size()) {
    last_ = BusExchange::Fault(received.count == 0 ? BusFault::kTimeout : BusFault::kIncomplete);
    return BkExchangeResult::kShortAnswer;
  }
  last_ = BusExchange::Good(RoundTripSince(start));
  *readings = *DecodeBkAnswer(answer, bkk23Mask);
  return BkExchangeResult::kOk;
}

}  // namespace kalvix

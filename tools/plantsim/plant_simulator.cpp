#include "tools/plantsim/plant_simulator.h"

#include <cctype>

namespace kalvix::plantsim {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

VisionArea AreaOf(PointKind kind) {
  switch (kind) {
    case PointKind::kLong:
      return VisionArea::kML;
    case PointKind::kBit:
      return VisionArea::kMB;
    default:
      return VisionArea::kMI;
  }
}

// Thread names, at most 15 characters.
constexpr std::array<const char*, 3> kThreadNames = {"plantsim-jumo", "plantsim-v120",
                                                     "plantsim-bk003"};

}  // namespace

std::string_view LineName(Line line) {
  switch (line) {
    case Line::kModbus:
      return "jumo";
    case Line::kVision:
      return "v120";
    case Line::kBk003:
      return "bk003";
  }
  return "?";
}

PlantSimulator::PlantSimulator(PlantOptions options)
    : options_(std::move(options)),
      jumo1_(DeviceId::kJumo1, options_.jumo1Address, options_.layout, clock_, writes_,
             options_.seed + 1, options_.modelNoise),
      jumo2_(DeviceId::kJumo2, options_.jumo2Address, options_.layout, clock_, writes_,
             options_.seed + 2, options_.modelNoise),
      v120_(options_.v120Unit, options_.layout, clock_, writes_, options_.seed + 3,
            options_.modelNoise),
      bk003_(options_.bkDeviceNumber, options_.layout, clock_, options_.seed + 4,
             options_.modelNoise),
      modbus_({&jumo1_, &jumo2_}) {}

PlantSimulator::~PlantSimulator() { Stop(); }

bool PlantSimulator::Start(std::string* error) {
  if (Running()) return true;
  const std::array<LineResponder*, 3> responders = {&modbus_, &v120_, &bk003_};
  for (size_t i = 0; i < servers_.size(); ++i) {
    std::unique_ptr<PtyEndpoint> pty = PtyEndpoint::Open(error);
    if (!pty) {
      Stop();
      return false;
    }
    servers_[i] = std::make_unique<LineServer>(kThreadNames[i], std::move(pty), *responders[i],
                                               faults_, options_.turnaroundMs,
                                               options_.seed + 10 + static_cast<uint32_t>(i));
  }
  for (auto& server : servers_) {
    if (!server->Start(error)) {
      Stop();
      return false;
    }
  }
  return true;
}

void PlantSimulator::Stop() {
  for (auto& server : servers_) {
    if (server) server->Stop();
  }
  for (auto& server : servers_) server.reset();
}

std::string PlantSimulator::PortPath(Line line) const {
  const auto& server = servers_[static_cast<size_t>(line)];
  return server ? server->SlavePath() : std::string();
}

JumoController& PlantSimulator::Jumo(DeviceId device) {
  return device == DeviceId::kJumo2 ? jumo2_ : jumo1_;
}

const LayoutPoint* PlantSimulator::FindPoint(std::string_view name) const {
  for (const LayoutPoint& point : options_.layout) {
    if (SameName(point.name, name)) return &point;
  }
  return nullptr;
}

bool PlantSimulator::SetSignal(std::string_view name, double value) {
  const LayoutPoint* point = FindPoint(name);
  if (point == nullptr) return false;
  switch (point->device) {
    case DeviceId::kJumo1:
    case DeviceId::kJumo2:
      return Jumo(point->device).SetValue(point->address, value);
    case DeviceId::kV120:
      return v120_.SetValue(AreaOf(point->kind), point->address, value);
    case DeviceId::kBk003:
      return bk003_.SetValue(point->address, value);
  }
  return false;
}

bool PlantSimulator::ReleaseSignal(std::string_view name) {
  const LayoutPoint* point = FindPoint(name);
  if (point == nullptr) return false;
  switch (point->device) {
    case DeviceId::kJumo1:
    case DeviceId::kJumo2:
      return Jumo(point->device).Release(point->address);
    case DeviceId::kV120:
      return v120_.Release(AreaOf(point->kind), point->address);
    case DeviceId::kBk003:
      return bk003_.Release(point->address);
  }
  return false;
}

void PlantSimulator::ReleaseAll() {
  jumo1_.ReleaseAll();
  jumo2_.ReleaseAll();
  v120_.ReleaseAll();
  bk003_.ReleaseAll();
}

std::optional<double> PlantSimulator::SignalValue(std::string_view name) {
  const LayoutPoint* point = FindPoint(name);
  if (point == nullptr) return std::nullopt;
  switch (point->device) {
    case DeviceId::kJumo1:
    case DeviceId::kJumo2:
      return Jumo(point->device).Value(point->address);
    case DeviceId::kV120:
      return v120_.Value(AreaOf(point->kind), point->address);
    case DeviceId::kBk003:
      return bk003_.Value(point->address);
  }
  return std::nullopt;
}

const LineServer* PlantSimulator::ServerOf(DeviceId device) const {
  switch (device) {
    case DeviceId::kJumo1:
    case DeviceId::kJumo2:
      return servers_[static_cast<size_t>(Line::kModbus)].get();
    case DeviceId::kV120:
      return servers_[static_cast<size_t>(Line::kVision)].get();
    case DeviceId::kBk003:
      return servers_[static_cast<size_t>(Line::kBk003)].get();
  }
  return nullptr;
}

uint64_t PlantSimulator::Requests(DeviceId device) const {
  const LineServer* server = ServerOf(device);
  return server ? server->Requests(device) : 0;
}

uint64_t PlantSimulator::Replies(DeviceId device) const {
  const LineServer* server = ServerOf(device);
  return server ? server->Replies(device) : 0;
}

}  // namespace kalvix::plantsim

#include "player/multi_vistor.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace {

constexpr int kDoublingLimit = 30;  // a press past this returns to normal
constexpr int kMaxSpeed = 32;
constexpr int64_t kShowSliceMs = 200;     // a picture's wait looks at the tile's state this often
constexpr int64_t kRecentPaintMs = 500;   // a tile that painted this recently counts in the skew
constexpr int64_t kRestMs = 100;          // a tile with nothing to play looks again this often

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CMultiVistor::CMultiVistor() {
  for (int n = 0; n < kTiles; ++n) tiles_[static_cast<size_t>(n)] = std::make_unique<Tile>(n);
}

CMultiVistor::~CMultiVistor() { Stop(); }

void CMultiVistor::SetRecords(std::vector<_rec_file_info_> records) {
  std::lock_guard<std::mutex> g(lock_);
  records_ = std::move(records);
  for (auto& t : tiles_) ++t->wanted;
}

std::vector<int> CMultiVistor::Channels() const {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<int> channels;
  for (const _rec_file_info_& r : records_) channels.push_back(r.channel);
  std::sort(channels.begin(), channels.end());
  channels.erase(std::unique(channels.begin(), channels.end()), channels.end());
  return channels;
}

void CMultiVistor::Span(int64_t* startMs, int64_t* endMs) const {
  std::lock_guard<std::mutex> g(lock_);
  *startMs = *endMs = 0;
  for (const _rec_file_info_& r : records_) {
    if (*startMs == 0 || int64_t{r.startMs} < *startMs) *startMs = r.startMs;
    if (int64_t{r.endMs} > *endMs) *endMs = r.endMs;
  }
}

void CMultiVistor::RestartShownAgain(const std::array<bool, kTiles>& shownBefore) {
  // Tiles shown again start from the clock: their decoders missed the frames meanwhile.
  for (int n = 0; n < kTiles; ++n)
    if (!shownBefore[static_cast<size_t>(n)] && TileShownLocked(n))
      ++tiles_[static_cast<size_t>(n)]->wanted;
}

std::array<bool, CMultiVistor::kTiles> CMultiVistor::ShownLocked() const {
  std::array<bool, kTiles> shown{};
  for (int n = 0; n < kTiles; ++n) shown[static_cast<size_t>(n)] = TileShownLocked(n);
  return shown;
}

bool CMultiVistor::SetLayout(int tiles) {
  if (tiles != 1 && tiles != 4 && tiles != 9 && tiles != 16) return false;
  std::lock_guard<std::mutex> g(lock_);
  const std::array<bool, kTiles> before = ShownLocked();
  layout_ = tiles;
  solo_ = -1;
  RestartShownAgain(before);
  return true;
}

int CMultiVistor::layout() const {
  std::lock_guard<std::mutex> g(lock_);
  return layout_;
}

bool CMultiVistor::AssignChannel(int tile, int channel) {
  if (tile < 0 || tile >= kTiles) return false;
  Tile& t = *tiles_[static_cast<size_t>(tile)];
  t.channel = channel < 0 ? -1 : channel;
  t.lastPts = 0;
  ++t.wanted;
  return true;
}

void CMultiVistor::AssignDefault() {
  const std::vector<int> channels = Channels();
  for (int n = 0; n < kTiles; ++n)
    AssignChannel(n, static_cast<size_t>(n) < channels.size() ? channels[static_cast<size_t>(n)] : -1);
}

void CMultiVistor::SetSolo(int tile) {
  std::lock_guard<std::mutex> g(lock_);
  const std::array<bool, kTiles> before = ShownLocked();
  solo_ = tile >= 0 && tile < kTiles ? tile : -1;
  RestartShownAgain(before);
}

int CMultiVistor::solo() const {
  std::lock_guard<std::mutex> g(lock_);
  return solo_;
}

bool CMultiVistor::TileShownLocked(int tile) const {
  return solo_ >= 0 ? tile == solo_ : tile >= 0 && tile < layout_;
}

bool CMultiVistor::TileShown(int tile) const {
  std::lock_guard<std::mutex> g(lock_);
  return TileShownLocked(tile);
}

CMultiVistor::TileView CMultiVistor::view(int tile) const {
  TileView v;
  if (tile < 0 || tile >= kTiles) return v;
  const Tile& t = *tiles_[static_cast<size_t>(tile)];
  v.channel = t.channel;
  v.lastPts = t.lastPts;
  v.lastPaintSteadyMs = t.lastPaintSteadyMs;
  v.painted = t.painted;
  v.dropped = t.dropped;
  v.resyncs = t.resyncs;
  const int64_t now = clock_.Now();
  std::lock_guard<std::mutex> g(lock_);
  for (const _rec_file_info_& r : records_)
    if (r.channel == v.channel && int64_t{r.startMs} <= now && now <= int64_t{r.endMs})
      v.recording = true;
  return v;
}

int64_t CMultiVistor::SkewMs() const {
  const int64_t steady = SteadyMs();
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  int counted = 0;
  for (int n = 0; n < kTiles; ++n) {
    if (!TileShown(n)) continue;
    const TileView v = view(n);
    if (!v.recording || v.lastPts == 0 || steady - v.lastPaintSteadyMs > kRecentPaintMs) continue;
    lo = std::min(lo, v.lastPts);
    hi = std::max(hi, v.lastPts);
    ++counted;
  }
  return counted < 2 ? 0 : hi - lo;
}

void CMultiVistor::SetSurface(int tile, player::VideoSurface* surface) {
  if (tile < 0 || tile >= kTiles) return;
  tiles_[static_cast<size_t>(tile)]->surface = surface;
  decoders_.SetSurface(tile, surface);
}

// ---- the transport ----------------------------------------------------------------------------

void CMultiVistor::StartThreads() {
  if (started_) return;
  clock_.Reset();
  uint32_t mask = 0;
  for (int n = 0; n < kTiles; ++n) mask |= 1u << n;
  threads_.Start(mask);
  started_ = true;
}

void CMultiVistor::Play(int64_t t) {
  clock_.SetPaused(false);
  clock_.SetMode(kModeNormal, 1);
  clock_.Seek(t);
  StartThreads();
}

void CMultiVistor::Seek(int64_t t) { clock_.Seek(t); }
void CMultiVistor::Pause() { clock_.SetPaused(true); }
void CMultiVistor::Resume() { clock_.SetPaused(false); }

void CMultiVistor::ChangeMode(int mode, int speed) {
  clock_.SetPaused(false);
  clock_.SetMode(mode, speed);
}

void CMultiVistor::Normal() { ChangeMode(kModeNormal, 1); }

int CMultiVistor::DoublingSpeed(int mode) const {
  const int next = clock_.mode() == mode ? clock_.speed() * 2 : 2;
  return next > kDoublingLimit ? 0 : next;
}

void CMultiVistor::Slow() {
  const int speed = DoublingSpeed(kModeSlow);
  if (speed == 0) Normal();
  else ChangeMode(kModeSlow, speed);
}

void CMultiVistor::FastForward(int speed) {
  if (speed == 0) speed = DoublingSpeed(kModeFast);
  if (speed <= 0 || speed > kMaxSpeed) Normal();
  else ChangeMode(kModeFast, speed);
}

void CMultiVistor::FastBackward(int speed) {
  if (speed == 0) speed = DoublingSpeed(kModeBack);
  if (speed <= 0 || speed > kMaxSpeed) Normal();
  else ChangeMode(kModeBack, speed);
}

void CMultiVistor::SingleFrame() { ChangeMode(kModeSingle, 1); }

void CMultiVistor::StepFrame() { clock_.Step(); }

void CMultiVistor::Stop() {
  threads_.StopAll();
  started_ = false;
  // The threads are gone: their tracks can be closed from here.
  for (auto& t : tiles_) {
    t->track.Close();
    t->applied = 0;
  }
}

// ---- the decode threads' side -----------------------------------------------------------------

void CMultiVistor::TakeChanges(Tile& tile) {
  const uint64_t wanted = tile.wanted;
  if (wanted == tile.applied) return;
  std::vector<_rec_file_info_> records;
  {
    std::lock_guard<std::mutex> g(lock_);
    records = records_;
  }
  tile.track.SetRecords(tile.channel, records);
  tile.applied = wanted;
}

int CMultiVistor::TakeFrame(int window, uint8_t* buffer, uint32_t size) {
  if (window < 0 || window >= kTiles) return 0;
  Tile& tile = *tiles_[static_cast<size_t>(window)];
  TakeChanges(tile);
  if (!TileShown(window) || !tile.track.HasRecords()) {
    // Nothing to play here: rest until something changes (or a while passes).
    clock_.WaitFor(clock_.backward() ? INT64_MIN : INT64_MAX, clock_.generation(), kRestMs);
    return 0;
  }
  int64_t pts = 0;
  const int r = tile.track.Next(clock_, buffer, size, &pts);
  tile.resyncs = tile.track.resyncs();
  if (r > 0) {
    tile.frameGeneration = tile.track.generation();
    tile.frameRepositions = tile.track.repositions();
  }
  return r;
}

void CMultiVistor::Show(int window, int64_t pts, int pictures) {
  if (window < 0 || window >= kTiles) return;
  Tile& tile = *tiles_[static_cast<size_t>(window)];
  // The picture waits for the clock; a seek, a mode change or a change of the tile drops it.
  for (;;) {
    const player::PlayClock::WaitResult r = clock_.WaitFor(pts, tile.frameGeneration, kShowSliceMs);
    if (r == player::PlayClock::kReached) break;
    if (r != player::PlayClock::kTimedOut || tile.wanted != tile.applied) return;
  }
  if (pictures <= 0) return;
  const int64_t now = clock_.Now();
  const int64_t late = clock_.backward() ? pts - now : now - pts;
  const int mode = clock_.mode();
  const bool keysOnly = mode == kModeFast || mode == kModeBack;
  if (!keysOnly && late > kLateMs && clock_.rateMilli() != 0) {
    // Behind the clock: the picture is skipped so the tile catches up. Pictures passed over
    // right after a seek (from the key frame before the time sought) are not drops.
    if (tile.paintedRepositions == tile.frameRepositions) ++tile.dropped;
    return;
  }
  if (player::VideoSurface* s = tile.surface.load()) s->NoteTime(pts);
  if (decoders_.PaintLast(window) <= 0) return;
  ++tile.painted;
  tile.lastPts = pts;
  tile.lastPaintSteadyMs = SteadyMs();
  tile.paintedRepositions = tile.frameRepositions;
}

// The CLIPBOARD selection of an X server. Reading asks the owner for its TARGETS and the wanted
// ones in turn; writing takes the selection over and a helper thread (own connection, own
// window) answers the requests, large data through the INCR protocol both ways.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace vtx {

class X11Clipboard {
 public:
  struct Item {
    std::string target;  // atom name ("UTF8_STRING", "image/png", ...)
    std::string data;
    bool operator==(const Item&) const = default;
  };

  // Never fails: without a display, reads give nothing and writes are dropped.
  explicit X11Clipboard(const std::string& display);
  ~X11Clipboard();
  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  // The wanted targets the owner offers, with their data (in the order asked; empty data and
  // unanswered targets are left out).
  std::vector<Item> Read(const std::vector<std::string>& wanted);
  // Takes the selection over with these items (none: an empty clipboard).
  void Write(std::vector<Item> items);

  // Largest selection data read (bigger transfers are dropped).
  static constexpr size_t kMaxReadBytes = 64u << 20;

  // Incremental transfers this owner is serving. One is dropped when its requestor's window
  // goes away or the requestor takes no chunk for the idle limit (default 30 s).
  size_t OpenTransfers() const;
  void setTransferIdleLimit(std::chrono::milliseconds limit);

 private:
  struct Reader;
  struct Server;
  std::unique_ptr<Reader> reader_;
  std::unique_ptr<Server> server_;
};

}  // namespace vtx

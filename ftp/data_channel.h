// The session's data channel: the passive listener or the data connection,
// where active connections go, and the bookkeeping of the transfer or
// listing that uses the channel. The connections reach it through the
// session's dataChannel().
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"

namespace kestrel::ftp {

class CUserSocket;
class DataSocket;
class PasvSocket;

enum class ListFormat { Names = 0, Long = 1, Facts = 2 };
enum class UploadMode { None = 0, NewFile = 1, Overwrite = 2 };

class DataChannel {
 public:
  // The operation run when the data connection is ready.
  using Operation = void (CUserSocket::*)();

  // Active connections go to the client's address and its control port
  // minus 1 until PORT or EPRT names another port.
  DataChannel(std::string peerAddress, int peerDataPort);
  ~DataChannel();
  DataChannel(const DataChannel&) = delete;
  DataChannel& operator=(const DataChannel&) = delete;

  const std::string& address() const { return address_; }
  int port() const { return port_; }
  void setAddress(std::string address, int port) {
    address_ = std::move(address);
    port_ = port;
  }

  DataSocket* socket() const { return socket_.get(); }
  void setSocket(std::unique_ptr<DataSocket> socket);
  void closeSocket();
  bool listening() const { return passive_ != nullptr; }
  PasvSocket* listener() const { return passive_.get(); }
  void setListener(std::unique_ptr<PasvSocket> listener);
  void closeListener();

  // Waiting for the passive connection.
  Operation pendingOperation = nullptr;
  ListFormat listFormat = ListFormat::Long;
  std::int64_t listTarget = 0;

  // The transfer: what RETR and STOR prepared for the connection, and
  // whether a transfer or listing holds the channel.
  std::int64_t downloadSize = 0;
  std::string transferName;
  std::int64_t transferFileId = 0;
  std::int64_t uploadDirectoryId = 0;
  std::string uploadPath;      // where the upload goes when complete
  std::string uploadTempPath;  // where its bytes land meanwhile
  UploadMode uploadMode = UploadMode::None;
  platform::File transferFile;
  std::int64_t restartOffset = 0;
  bool busy = false;

  // Set by commands; reported by STAT, never changing the bytes moved.
  std::string typeName = "ASCII";
  std::string structureName = "File";
  std::string modeName = "Stream";
  bool epsvAll = false;        // EPSV ALL: only EPSV may set up connections
  bool bufferSizeSet = false;  // PBSZ 0 seen
  bool protect = false;        // PROT P

 private:
  std::unique_ptr<PasvSocket> passive_;
  std::unique_ptr<DataSocket> socket_;
  std::string address_;
  int port_ = 0;
};

}  // namespace kestrel::ftp

#include "ftp/data_channel.h"

#include "ftp/data_socket.h"

namespace kestrel::ftp {

DataChannel::DataChannel(std::string peerAddress, int peerDataPort)
    : address_(std::move(peerAddress)), port_(peerDataPort) {}

// The connection goes before the listener, as the session closes them.
DataChannel::~DataChannel() {
  closeSocket();
  closeListener();
}

void DataChannel::setSocket(std::unique_ptr<DataSocket> socket) { socket_ = std::move(socket); }
void DataChannel::closeSocket() { socket_.reset(); }
void DataChannel::setListener(std::unique_ptr<PasvSocket> listener) { passive_ = std::move(listener); }
void DataChannel::closeListener() { passive_.reset(); }

}  // namespace kestrel::ftp

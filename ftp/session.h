// One FTP session: it owns the control channel, the account, the working
// directory and the data channel, dispatches each command line through the
// command table and writes the replies. Command families live in their own
// files.
#pragma once
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftp/account.h"
#include "ftp/control_channel.h"
#include "ftp/data_channel.h"
#include "ftp/reply.h"
#include "ftp/session_host.h"
#include "ftp/session_registry.h"
#include "ftp/working_directory.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "platform/mutex.h"
#include "platform/socket.h"
#include "store/counters.h"
#include "store/tree.h"

namespace kestrel::platform {
class TlsContext;
}

namespace kestrel::ftp {

class DataSocket;
class PasvSocket;

// What every session of the process shares: made once by runApplication
// when the data source opens, and outliving every session.
struct SessionShared {
  explicit SessionShared(store::Database& database) : db(database), counters(database) {}
  store::Database& db;
  // Download and upload counts; written before the connection goes.
  store::CounterBatch counters;
  // The live sessions, and how many each user has open.
  SessionRegistry sessions;
  UserSessionCounts userSessions;
  // Uploads finishing in several sessions at once: two of one name must
  // leave one row, describing the file that ends up in place. It guards a
  // step (the rename, then the row), not a field.
  platform::Mutex uploadRowsMutex;
};

struct SessionParams {
  std::int64_t domainId = 0;
  std::string peerAddress;
  int peerDataPort = 0;  // the client's control port minus 1
  std::string hostName;  // from the reverse lookup, empty when none
  std::string localAddress;
  // Certificate and key for AUTH TLS; null when TLS is not configured.
  std::shared_ptr<const platform::TlsContext> tls;
  // What the sessions share. Never null: no session starts without a data
  // source (the listener answers 421 instead).
  SessionShared* shared = nullptr;
};

class CUserSocket : private ControlChannel::Owner {
 public:
  CUserSocket(SessionHost& host, platform::Fd socket, const SessionParams& params);
  ~CUserSocket() override;
  CUserSocket(const CUserSocket&) = delete;
  CUserSocket& operator=(const CUserSocket&) = delete;

  // Registers with the loop; the greeting goes out on the first write event.
  void start() { control_.start(); }

  // Thread messages from the console.
  void idleCheck();
  void setMonitor(std::shared_ptr<Monitor> monitor);
  void clearMonitor();
  void addConsoleMessage(const std::string& text);
  // Appends to the pending message from another thread (SITE UMSG).
  void appendPendingMessage(const std::string& text) { account_.appendPendingMessage(text); }
  // Takes the pending message, and puts it back before what arrived since.
  std::string takePendingMessage() { return account_.takePendingMessage(); }
  void putBackPendingMessage(const std::string& saved) { account_.putBackPendingMessage(saved); }

  // The reply writer: formats, attaches the pending message, queues.
  void reply(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Queues a text exactly as given (multi-line replies).
  void rawSend(const std::string& text);
  // Runs every command line through the reader (tests and fuzzing).
  void feed(const char* data, std::size_t size) { control_.feed(data, size); }

  // Entry points for the data connection.
  void transferFinished();
  void transferFailed();
  void transferFailedWith(const char* replyText);
  void touch() { lastActivity_ = std::time(nullptr); }
  void attachPassiveConnection(std::unique_ptr<DataSocket> socket);
  void destroyDataSocket();

  // What WHO, UMSG and KICK of other sessions read, from their own threads.
  using Identity = Account::Identity;
  Identity identity() const { return account_.identity(); }
  SessionHost& host() { return host_; }
  // The shared connection; throws DbError without one.
  store::Database& database() const;
  // The shared counter batch; throws DbError without a data source.
  store::CounterBatch& counters() const;
  platform::EventLoop& loop() { return host_.loop(); }
  const std::shared_ptr<Monitor>& monitor() const { return monitor_; }
  void notifyMonitor(Msg id, const std::string& text, std::int64_t value = 0);
  store::Principal principal() const { return account_.principal(); }
  int idleLimit() const { return idleLimit_; }
  // The files row `id`, the working directory's kept between commands.
  std::optional<store::FileRecord> directoryRow(std::int64_t id) { return cwd_.directoryRow(database(), id); }

  // The SITE table's handlers; the argument is what follows the subcommand.
  void siteIdleQuery(const std::string&);
  void siteIdle(const std::string& arg);
  void siteAnonQuery(const std::string&);
  void siteAnon(const std::string& arg);
  void siteChmod(const std::string& arg);
  void siteChgrp(const std::string& arg);
  void siteChown(const std::string& arg);
  void siteWho(const std::string&);
  void siteMsg(const std::string& arg);
  void siteUmsg(const std::string& arg);
  void siteKick(const std::string& arg);
  void siteDeny(const std::string& arg);
  void siteAllow(const std::string& arg);

  // The command table's handlers.
  using Handler = void (CUserSocket::*)(const std::string& argument);
  void cmdAbor(const std::string&);
  void cmdAllo(const std::string&);
  void cmdCdup(const std::string&);
  void cmdCwd(const std::string&);
  void cmdDele(const std::string&);
  void cmdHelp(const std::string&);
  void cmdHelpTopic(const std::string&);
  void cmdList(const std::string&);
  void cmdListPath(const std::string&);
  void cmdMkd(const std::string&);
  void cmdMode(const std::string&);
  void cmdNlst(const std::string&);
  void cmdNlstPath(const std::string&);
  void cmdNoop(const std::string&);
  void cmdPass(const std::string&);
  void cmdPasv(const std::string&);
  void cmdPort(const std::string&);
  void cmdPwd(const std::string&);
  void cmdQuit(const std::string&);
  void cmdRetr(const std::string&);
  void cmdRmd(const std::string&);
  void cmdRnfr(const std::string&);
  void cmdRnto(const std::string&);
  void cmdSite(const std::string&);
  void cmdStat(const std::string&);
  void cmdStatPath(const std::string&);
  void cmdStor(const std::string&);
  void cmdStru(const std::string&);
  void cmdSyst(const std::string&);
  void cmdType(const std::string&);
  void cmdUser(const std::string&);
  void cmdRest(const std::string&);
  void cmdNotImplemented(const std::string& line);
  // Extensions: FEAT, OPTS, EPSV, EPRT, MLSD, MLST.
  void cmdFeat(const std::string&);
  void cmdOpts(const std::string&);
  void cmdEpsv(const std::string&);
  void cmdEprt(const std::string&);
  void cmdMlsd(const std::string&);
  void cmdMlst(const std::string&);
  // Encryption: AUTH, PBSZ, PROT, CCC.
  void cmdAuth(const std::string&);
  void cmdPbsz(const std::string&);
  void cmdProt(const std::string&);
  void cmdCcc(const std::string&);

  // One entry of a listing in the given form, with its line end.
  std::string listingEntry(const store::DirectoryRecord& row, ListFormat format) const;
  std::string listingLine(const store::DirectoryRecord& row, bool statForm) const;
  DataChannel& dataChannel() { return data_; }
  // TLS for data connections: the context when PROT P is in force.
  const platform::TlsContext* dataProtection() const;
  bool tlsActive() const { return control_.tlsActive(); }

  // Path resolution over the virtual tree (0 when not found); see WorkingDirectory.
  std::int64_t resolvePath(const std::string& path, std::vector<std::string>* shown = nullptr) {
    return cwd_.resolvePath(database(), path, shown);
  }
  std::int64_t resolveParent(const std::string& path, std::vector<std::string>* shown = nullptr) {
    return cwd_.resolveParent(database(), path, shown);
  }
  std::int64_t rootId() const { return cwd_.rootId(); }
  std::int64_t currentId() const { return cwd_.currentId(); }
  // CWD without or with a reply.
  void changeDirectory(const std::string& argument, bool replyWanted);

  using DataOperation = DataChannel::Operation;
  void openDataConnection(DataOperation operation);
  void listOperation();
  void downloadOperation();
  void uploadOperation();
  bool finishUpload();
  // Closes a transfer file that is not in use and removes an upload's
  // temporary file, if any.
  void discardUpload();

 private:
  void onCommandLine(const std::string& line) override { dispatch(line); }
  void onLineTooLong() override;
  void onHandshakeDone() override { touch(); }
  // Answers a command that is not offered as an unknown one, as without TLS.
  void replyUnknown();
  bool needsTls(bool anonymous) const;
  std::string machineFacts(const store::DirectoryRecord& row) const;
  // A passive listener for PASV and EPSV: its port, or -1.
  int listenPassive();
  // LIST, NLST and MLSD once their target is known.
  void beginListing(std::int64_t target, ListFormat format);
  void dispatch(const std::string& line);
  void endSession() { control_.end(); }
  bool requireLogin();
  void changeToParent();
  void loginSucceeded(const store::UserRecord& user);
  void startSession(const store::UserRecord& user);
  void announceLogin();
  void loadSiteRights(std::int64_t groupId);
  std::optional<store::FileRecord> openSiteTarget(const std::string& path);
  void changeOwner(const std::string& arg, bool group);
  void lockUser(const std::string& arg, bool lock);

  // This session's own thread, the only writer, reads it without the lock.
  const Identity& own() const { return account_.own(); }

  SessionHost& host_;
  SessionShared& shared_;
  // The parts, by concern. The control channel comes first, so that its
  // socket leaves the loop after the data connections have.
  ControlChannel control_;
  Account account_;
  WorkingDirectory cwd_;
  DataChannel data_;

  // The connection.
  std::int64_t domainId_ = 0;
  std::string peerAddress_;
  std::string hostName_;
  std::string localAddress_;
  std::shared_ptr<Monitor> monitor_;
  std::time_t lastActivity_ = 0;
  int idleLimit_ = 600;

  // Between commands.
  std::string commandLine_;        // the line being dispatched, as received
  std::int64_t renameSource_ = 0;  // RNFR's row, waiting for RNTO
  unsigned mlstFacts_ = ~0u;       // OPTS MLST's selection
};

}  // namespace kestrel::ftp

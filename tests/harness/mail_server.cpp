// Integration-test harness: the sandbox's Postfix as a mail server for
// kvarn's tables, a minimal SMTP client on the loopback, and waiting for
// what Postfix does asynchronously (delivery, noticing a changed table).
#include "harness/mail_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "harness/files.h"
#include "harness/postfix.h"
#include "harness/process.h"
#include "harness/sandbox.h"

namespace kvarn_test {

const char* const kPostfixLog = "/var/log/postfix.log";

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr int kReplyTimeoutSeconds = 30;

// One SMTP connection to 127.0.0.1:25, closed when it goes out of scope.
class SmtpConnection {
  public:
    SmtpConnection() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            throw HarnessError(std::string("socket: ") + strerror(errno));
        }
        const struct timeval timeout { kReplyTimeoutSeconds, 0 };
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(25);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            const int err = errno;
            ::close(fd_);
            throw HarnessError(std::string("cannot connect to 127.0.0.1:25: ") + strerror(err) +
                               " (is the mail server started?)");
        }
    }
    SmtpConnection(const SmtpConnection&) = delete;
    SmtpConnection& operator=(const SmtpConnection&) = delete;
    ~SmtpConnection() { ::close(fd_); }

    void send(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw HarnessError(std::string("SMTP send: ") + strerror(errno));
            }
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads one reply, continuation lines ("250-...") included.
    SmtpReply reply() {
        SmtpReply r;
        std::string line;
        while (readLine(line)) {
            if (line.size() < 3) {
                throw HarnessError("SMTP: malformed reply line: " + line);
            }
            r.code = std::stoi(line.substr(0, 3));
            r.text += (r.text.empty() ? "" : "\n") + (line.size() > 4 ? line.substr(4) : "");
            if (line.size() == 3 || line[3] != '-') {
                return r;
            }
        }
        r.code = 0;
        r.text += (r.text.empty() ? "" : "\n") + std::string("connection closed");
        return r;
    }

    SmtpReply command(const std::string& line) {
        send(line + "\r\n");
        return reply();
    }

    // Ends the session politely; the server may have closed it already.
    void quit() {
        try {
            command("QUIT");
        } catch (const HarnessError&) {
        }
    }

  private:
    // A line without its CR LF; false at the end of the connection.
    bool readLine(std::string& line) {
        for (;;) {
            const auto end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return true;
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throw HarnessError(std::string("SMTP: no reply from 127.0.0.1:25: ") +
                                   strerror(errno));
            }
            if (n == 0) {
                return false;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    int fd_ = -1;
    std::string buffer_;
};

// The message as DATA carries it: CR LF line ends, a leading "." doubled,
// the final "." line.
std::string dataSection(const std::string& text) {
    std::string out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        out += (!line.empty() && line[0] == '.' ? "." : "") + line + "\r\n";
    }
    return out + ".\r\n";
}

// One session; stops before DATA unless withData.
SmtpSession runSession(const MailMessage& message, bool withData) {
    SmtpSession s;
    SmtpConnection c;
    s.greeting = c.reply();
    if (s.greeting.code != 220) {
        return s;
    }
    s.ehlo = c.command("EHLO client.test");
    if (s.ehlo.positive()) {
        s.mail = c.command("MAIL FROM:<" + message.from + ">");
    }
    bool anyRecipient = false;
    for (std::size_t i = 0; s.mail.positive() && i < message.to.size(); ++i) {
        s.rcpt.push_back(c.command("RCPT TO:<" + message.to[i] + ">"));
        anyRecipient = anyRecipient || s.rcpt.back().positive();
    }
    if (withData && anyRecipient) {
        s.data = c.command("DATA");
        if (s.data.code == 354) {
            c.send(dataSection(message.text));
            s.message = c.reply();
        }
    }
    c.quit();
    return s;
}

void dateBack(const std::string& path) {
    const struct timespec past[2] = {{::time(nullptr) - 10, 0}, {::time(nullptr) - 10, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), past, 0) != 0) {
        throw HarnessError("cannot set the time of " + path + ": " + strerror(errno));
    }
}

}  // namespace

void startMailServer(const std::map<std::string, std::string>& extra) {
    const std::string uid = std::to_string(userId("popuser"));
    const std::string noNetwork = "error:no network in the test sandbox";
    std::map<std::string, std::string> settings = {
        {"virtual_mailbox_domains", tableSpec("virtual_domains")},
        {"virtual_mailbox_maps", tableSpec("vmailbox")},
        // virtual_alias_domains keeps its default: the domains among the
        // keys of virtual_alias_maps.
        {"virtual_alias_maps", tableSpec("virtual")},
        {"alias_maps", "hash:/etc/aliases, " + tableSpec("aliases")},
        {"virtual_mailbox_base", kMailRoot},
        {"virtual_uid_maps", "static:" + uid},
        {"virtual_gid_maps", "static:" + std::to_string(groupId("popuser"))},
        {"virtual_minimum_uid", uid},
        // Only the loopback, and no lookups: the sandbox has neither DNS
        // nor a route anywhere, and mail that would leave bounces at once.
        {"inet_interfaces", "loopback-only"},
        {"inet_protocols", "ipv4"},
        {"smtpd_peername_lookup", "no"},
        {"relayhost", ""},
        {"default_transport", noNetwork},
        {"relay_transport", noNetwork},
        {"maillog_file", kPostfixLog},
        // A server process serves every session of a test (Postfix retires
        // one after 100), so a refusal that waitForRcptRefused sees comes
        // from Postfix noticing the changed table, not from a fresh process.
        {"max_use", "10000"},
    };
    for (const auto& [name, value] : extra) {
        settings[name] = value;
    }
    std::vector<std::string> argv{"/usr/sbin/postconf", "-e"};
    for (const auto& [name, value] : settings) {
        argv.push_back(name + " = " + value);
    }
    runChecked(argv);
    // Postfix lets a main.cf changed within the last two seconds settle
    // before it reads it: this one is complete, so date it back rather than
    // make the start and every tool run of the next seconds wait. Its
    // server processes tell a changed table by its modification time in
    // whole seconds: the tables are dated back too, so that the first change
    // a test makes after the start shows even within the same second.
    dateBack(kMainCf);
    for (const std::string& table : kLookupTables) {
        dateBack(std::string(kTablesDir) + "/" + table + ".db");
    }

    RunResult start = runCommand({kPostfixInit, "start"});
    if (!start.succeeded() || !waitForPostfix(true)) {
        std::ostringstream msg;
        msg << "Postfix did not start: " << start << "\n" << postfixLog();
        throw HarnessError(msg.str());
    }
}

std::string postfixLog() {
    return pathExists(kPostfixLog) ? readFile(kPostfixLog) : "";
}

std::ostream& operator<<(std::ostream& os, const SmtpReply& reply) {
    return os << reply.code << " " << reply.text;
}

std::ostream& operator<<(std::ostream& os, const SmtpSession& s) {
    os << "\n  greeting: " << s.greeting << "\n  EHLO: " << s.ehlo << "\n  MAIL: " << s.mail;
    for (const SmtpReply& r : s.rcpt) {
        os << "\n  RCPT: " << r;
    }
    return os << "\n  DATA: " << s.data << "\n  end of message: " << s.message;
}

std::string messageText(const std::string& marker, std::size_t paddingBytes) {
    std::string text = "Subject: " + marker + "\n\n" + marker + "\n";
    while (text.size() < paddingBytes) {
        text += std::string(76, 'x') + "\n";
    }
    return text;
}

SmtpSession sendMail(const MailMessage& message) {
    return runSession(message, true);
}

SmtpReply probeRcpt(const std::string& address, const std::string& from) {
    SmtpSession s = runSession({from, {address}, ""}, false);
    // A refusal before RCPT is the answer then.
    for (const SmtpReply* r : {&s.greeting, &s.ehlo, &s.mail}) {
        if (!r->positive()) {
            return *r;
        }
    }
    return s.rcpt.front();
}

SmtpReply waitForRcptRefused(const std::string& address, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        SmtpReply r = probeRcpt(address);
        if (r.code >= 500 || std::chrono::steady_clock::now() >= deadline) {
            return r;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

std::optional<DeliveredMessage> waitForMessage(const std::string& maildir,
                                               const std::string& marker,
                                               std::chrono::milliseconds timeout) {
    namespace fs = std::filesystem;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Postfix writes into tmp/ and links the complete file into new/.
        for (const char* sub : {"new", "cur"}) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(maildir + "/" + sub, ec)) {
                std::string content = readFile(entry.path());
                if (content.find(marker) != std::string::npos) {
                    return DeliveredMessage{entry.path(), std::move(content)};
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace kvarn_test

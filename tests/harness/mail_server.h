// Integration-test harness: mail through the real Postfix of the sandbox.
// Starts Postfix with kvarn's lookup tables as its maps, speaks SMTP to it
// on the loopback and finds what it delivered in a Maildir.
//
//   startMailServer();
//   SmtpSession s = sendMail({"a@sender.test", {"info@example.test"}, messageText("m-1")});
//   ASSERT_TRUE(s.accepted()) << s;
//   auto delivered = waitForMessage(maildir, "m-1");
//   ASSERT_TRUE(delivered) << postfixLog();
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kvarn_test {

// Where the mail server writes its log (postlogd; the sandbox has no syslog).
extern const char* const kPostfixLog;  // /var/log/postfix.log

// Configures main.cf with the real postconf so that Postfix serves kvarn's
// tables — virtual_mailbox_domains, virtual_mailbox_maps and
// virtual_alias_maps on "virtual_domains", "vmailbox" and "virtual",
// alias_maps with "aliases", the mail root as virtual_mailbox_base,
// popuser's ids as the virtual ids — listening on 127.0.0.1 only, with
// nothing that reaches for DNS or the network (mail for other domains
// bounces at once) and the log in kPostfixLog. `extra` settings are applied
// last, in the same postconf run, so they may override any of these. Dates
// main.cf and the tables back a few seconds, then starts Postfix with its
// init script and waits until it runs; throws HarnessError (with the
// script's output and the log) if it does not.
void startMailServer(const std::map<std::string, std::string>& extra = {});

// The mail server's log so far ("" if there is none): for assertion
// messages.
std::string postfixLog();

// A server reply: its code (0 when the server closed the connection
// instead of answering) and its lines without the code, joined by "\n".
struct SmtpReply {
    int code = 0;
    std::string text;

    bool positive() const { return code >= 200 && code < 400; }
};
std::ostream& operator<<(std::ostream& os, const SmtpReply& reply);

struct MailMessage {
    std::string from;             // envelope sender
    std::vector<std::string> to;  // envelope recipients
    std::string text;             // header and body, lines ending in "\n"
};

// A message whose Subject and body carry marker (to find it again in a
// Maildir), padded with lines of "x" to at least paddingBytes bytes.
std::string messageText(const std::string& marker, std::size_t paddingBytes = 0);

// The server's answer to each step of one SMTP session. The client goes on
// only while the server agrees: no RCPT after a refused MAIL, no DATA when
// every RCPT was refused, no message after a refused DATA. Steps not taken
// keep code 0.
struct SmtpSession {
    SmtpReply greeting;
    SmtpReply ehlo;
    SmtpReply mail;
    std::vector<SmtpReply> rcpt;  // one per recipient, in order
    SmtpReply data;               // to DATA (354 expected)
    SmtpReply message;            // to the end of the message: accepted or refused (size...)

    bool accepted() const { return message.code == 250; }
};
std::ostream& operator<<(std::ostream& os, const SmtpSession& session);

// Sends message to 127.0.0.1:25 in one session (EHLO, MAIL FROM, RCPT TO
// for each recipient, DATA, QUIT). No SIZE is declared, so a message too
// large is refused at its end. Throws HarnessError when the server cannot
// be reached or stops answering for 30 seconds.
SmtpSession sendMail(const MailMessage& message);

// The reply to RCPT TO:<address> in a session that then ends without mail.
SmtpReply probeRcpt(const std::string& address, const std::string& from = "probe@sender.test");

// Probes address again and again until Postfix refuses it for good (a 5xx
// reply) or timeout passes; returns the last reply. A running Postfix
// notices a changed table between two sessions of a server process, by a
// modification time in whole seconds that differs from the one the process
// opened, or by the file having been replaced: a change made within the
// same second as the table's previous change can stay unnoticed (the
// server processes are not retired early, so it does stay unnoticed here).
SmtpReply waitForRcptRefused(const std::string& address,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A message delivered into a Maildir.
struct DeliveredMessage {
    std::string path;
    std::string content;
};

// Waits until a message holding marker is in maildir's new/ or cur/ and
// returns it; nothing if none arrived within timeout.
std::optional<DeliveredMessage> waitForMessage(
    const std::string& maildir, const std::string& marker,
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace kvarn_test

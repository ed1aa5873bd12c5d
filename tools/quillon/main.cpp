// quillon: the card encoder from the command line, for scripts and batch
// work. Arguments are parsed here; each subcommand lives in its own file.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdlib>

#include "commands.h"
#include "exit_codes.h"
#include "help_format.h"
#include "interrupt_source.h"
#include "port_access.h"
#include "usage_errors.h"

namespace {

using namespace quillon::cli;

constexpr const char* kDescription =
    "quillon drives a magnetic-stripe card reader/encoder on a serial port:\n"
    "reads cards into text, JSON Lines or CSV, writes single cards or\n"
    "numbered batches (with read-back and a journal to resume from), erases\n"
    "and sets the encoder up. Global options go before or after the\n"
    "subcommand. A write waits for a card to be passed through the\n"
    "encoder for as long as the encoder answers; a read until --idle\n"
    "seconds (20) pass without a card read (exit 3). Ctrl-C ends any wait\n"
    "at once, resets the encoder and exits with 130. SIGTERM does the same,\n"
    "and so does SIGHUP: the terminal going away ends a batch cleanly.\n"
    "\n"
    "With --port given once per encoder, one batch (or one read) is shared\n"
    "by several encoders at once: each card goes to whichever encoder is\n"
    "free, in the batch's order. With --journal every number ends on\n"
    "exactly one card whatever stops the program: a card that may have\n"
    "been written when it stopped is named, and --resume asks for it again\n"
    "at its encoder and reads it instead of writing it twice.\n"
    "\n"
    "With --batch, write takes its cards from a queue in PostgreSQL that\n"
    "several stations share (quillon queue init, load, status, settle):\n"
    "each encoder claims the next card no other station holds, and a\n"
    "station started again settles its own cards in doubt.";

constexpr const char* kFooter =
    "Examples:\n"
    "  quillon ports\n"
    "  quillon --port /dev/ttyUSB0 test\n"
    "  quillon read --count 10 --format csv --output cards.csv\n"
    "  quillon write --track2 0000000001 --increment 2:1 --count 500 \\\n"
    "                --verify --journal batch.jsonl\n"
    "  quillon write --from cards.csv --verify\n"
    "  quillon --port /dev/ttyUSB0 --port /dev/ttyUSB1 write --track2 \\\n"
    "          0000000001 --increment 2:1 --count 500 --verify \\\n"
    "          --journal batch.jsonl    # after a stop: the same, --resume\n"
    "  quillon queue load --batch spring --track2 0000000001 \\\n"
    "                --increment 2:1 --count 20000\n"
    "  quillon --port /dev/ttyUSB0 write --batch spring  # on each station\n"
    "\n"
    "Card texts: each byte on the card is one character U+0000..U+00FF,\n"
    "given and printed as UTF-8. JSON escapes every byte that is not\n"
    "printable ASCII (\\u00e9, \\u001b); CSV is RFC 4180 with a header row.\n"
    "Limits, as the operator's program: track 1 76, tracks 2 and 3 104\n"
    "characters (track 2 at --density 75: 37), track 1 upper-cased\n"
    "(--keep-case keeps it); --no-track-limits: 199, 129, 149. No track\n"
    "may hold '?', tracks 2 and 3 no 'A' or 'B' (they frame the tracks).\n"
    "\n"
    "Environment:\n"
    "  QUILLON_PORT    default for --port; several encoders separated by\n"
    "                  commas (else COM1)\n"
    "  ENCODER_COMn    the device of COMn (else /dev/ttyS<n-1>)\n"
    "  QUILLON_QUEUE   default for --queue (the password: ~/.pgpass)\n"
    "\n"
    "Exit status:\n"
    "  0    done\n"
    "  1    usage: bad arguments or input (nothing was sent), or an output\n"
    "       or journal that cannot be written (a full disk: the message\n"
    "       names the card that was read or written but not kept)\n"
    "  2    port: missing, in use, no permission (the message says which\n"
    "       and how to fix it), or the line was lost (unplugged; the other\n"
    "       encoders of a batch finish it first, and the message names the\n"
    "       card that may have been written); or the queue's server that\n"
    "       cannot be reached at the start or refuses the login (the\n"
    "       message says where and why)\n"
    "  3    the encoder reported failure, a card failed more than\n"
    "       --retries times and the batch stopped, or a read had no card\n"
    "       for --idle seconds\n"
    "  4    no reply from the encoder\n"
    "  130  interrupted by Ctrl-C, SIGTERM or SIGHUP (the encoder was reset\n"
    "       where an operation was pending)\n"
    "\n"
    "quillon SUBCOMMAND --help shows a subcommand's options.";

int defaultBaud() { return 9600; }

// The options that say which cards a batch holds, shared by write and
// queue load: the same rules and messages.
struct CardOptions {
  std::string track1, track2, track3;
  long count = 1;
  CLI::Option *t1 = nullptr, *t2 = nullptr, *t3 = nullptr;
  CLI::Option* countOption = nullptr;
  std::vector<CLI::Option*> all;

  void finish(WriteOptions& write) const {
    if (!t1->empty()) write.texts[0] = track1;
    if (!t2->empty()) write.texts[1] = track2;
    if (!t3->empty()) write.texts[2] = track3;
    if (!countOption->empty()) write.count = count;
  }
};

void addCardOptions(CLI::App* sub, WriteOptions& write, CardOptions& fields) {
  fields.t1 = sub->add_option("--track1", fields.track1, "track 1 text");
  fields.t2 = sub->add_option("--track2", fields.track2, "track 2 text");
  fields.t3 = sub->add_option("--track3", fields.track3, "track 3 text");
  auto* increment = sub->add_option(
      "--increment", write.increments,
      "TRACK:STEP: count that track's trailing number up by STEP (or down, "
      "if negative) from card to card; may be repeated");
  fields.countOption =
      sub->add_option("--count", fields.count, "cards to write")
          ->check(wholeNumberFrom("--count", 1))
          ->capture_default_str();
  auto* lifted = sub->add_flag(
      "--no-track-limits", write.rules.lifted,
      "texts up to the encoder's own limits (199, 129, 149 characters) "
      "instead of the operator's program's (76, 104, 104)");
  auto* keepCase = sub->add_flag(
      "--keep-case", write.rules.keepCase,
      "write track 1 as given (default: a to z upper-cased, as the "
      "operator's program writes it)");
  auto* density =
      sub->add_option_function<int>(
             "--density", [&write](int bpi) { write.rules.density = bpi; },
             "track 2's bits per inch, 75 (at most 37 characters) or 210; "
             "write sets each encoder to it first")
          ->check(oneOf("--density", {"75", "210"}));
  auto* from =
      sub->add_option("--from", write.from,
                      "one card per row of this CSV file; its columns track1, "
                      "track2, track3 (any case) choose the tracks")
          ->excludes(fields.t1)
          ->excludes(fields.t2)
          ->excludes(fields.t3)
          ->excludes(increment)
          ->excludes(fields.countOption);
  fields.all = {fields.t1, fields.t2, fields.t3, increment, fields.countOption,
                from,      lifted,    keepCase,  density};
}

// A closed pipe on standard output ends the program as SIGPIPE's usual
// handling does (quietly; a shell sees 141), once everything is closed.
int finish(int code) {
  if (code == kExitClosedPipe) {
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  printMessagesOnStderr();
  GlobalOptions global;
  const char* envPort = std::getenv("QUILLON_PORT");
  global.ports = splitPortList(envPort != nullptr ? envPort : "");
  if (global.ports.empty()) global.ports = {"COM1"};
  global.baud = defaultBaud();

  CLI::App app(kDescription, "quillon");
  app.formatter(std::make_shared<HelpFormat>());
  app.failure_message(usageError);
  app.set_version_flag("-V,--version", "quillon " QUILLON_VERSION);
  app.require_subcommand(1);
  app.fallthrough();  // global options also after the subcommand
  app.add_option("--port", global.ports,
                 "COMn, n or a device path; once per encoder for a batch or "
                 "read over several (default $QUILLON_PORT, names separated "
                 "by commas, else COM1)")
      ->expected(1)
      ->allow_extra_args(false)  // one port each time it is given
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->capture_default_str();
  app.add_option("--baud", global.baud, "line speed")
      ->check(wholeNumberFrom("--baud", 1))
      ->capture_default_str();
  app.add_flag("--quiet,-q", global.quiet,
               "no progress and no messages but errors");
  app.add_flag("--verbose,-v", global.verbose,
               "show every frame sent (->) and reply (<-) on stderr in hex");
  app.add_option("--reply-end", global.replyEnd,
                 "complete: a reply ends as soon as it is whole; pause: "
                 "after 79 ms of silence, as the library's functions")
      ->check(oneOf("--reply-end", {"complete", "pause"}))
      ->capture_default_str();

  auto* ports = app.add_subcommand(
      "ports",
      "list serial devices, their COMn and whether you may open them, and "
      "the ports of $QUILLON_PORT");
  setExample(ports, "quillon ports");
  std::string portsFormat = "text";
  ports
      ->add_option("--format", portsFormat,
                   "text, or json (a line a device: device, names, com, "
                   "quillon_port, present, may_open, advice)")
      ->check(oneOf("--format", {"text", "json"}))
      ->capture_default_str();
  auto* test =
      app.add_subcommand("test", "test the line (ESC e, answered ESC y)");
  setExample(test, "quillon --port /dev/ttyUSB0 test");
  auto* status = app.add_subcommand("status", "ask the encoder's status");
  setExample(status, "quillon status");
  auto* reset = app.add_subcommand(
      "reset", "reset the encoder (stops a waiting read or write)");
  setExample(reset, "quillon reset");

  std::vector<int> eraseTracks{1, 2, 3};
  auto* erase = app.add_subcommand(
      "erase", "erase tracks of the next card passed through");
  setExample(erase, "quillon erase --tracks 1,2");
  erase->add_option("--tracks", eraseTracks, "tracks to erase")
      ->delimiter(',')
      ->check(oneOf("--tracks", {"1", "2", "3"}))
      ->capture_default_str();

  std::string coercivityLevel;
  auto* coercivity = app.add_subcommand(
      "coercivity", "set the encoder for high- or low-coercivity cards");
  setExample(coercivity, "quillon coercivity high");
  coercivity->add_option("level", coercivityLevel, "high or low")
      ->required()
      ->check(oneOf("coercivity", {"high", "low"}));

  int density = 0;
  auto* densityCommand = app.add_subcommand(
      "density", "record track 2 at 75 or 210 bits per inch");
  setExample(densityCommand, "quillon density 75");
  densityCommand->add_option("bpi", density, "75 or 210")
      ->required()
      ->check(oneOf("density", {"75", "210"}));

  ReadOptions read;
  auto* readCommand = app.add_subcommand(
      "read",
      "read card after card (a failed read is reported and the card asked "
      "for again)");
  setExample(readCommand,
             "quillon read --count 10 --format csv --output cards.csv");
  readCommand->add_option("--tracks", read.tracks, "tracks to read (not 1,3)")
      ->delimiter(',')
      ->check(oneOf("--tracks", {"1", "2", "3"}))
      ->capture_default_str();
  auto* count = readCommand->add_option("--count", read.count, "cards to read")
                    ->check(wholeNumberFrom("--count", 1))
                    ->capture_default_str();
  readCommand->add_flag("--continuous", read.continuous, "read until Ctrl-C")
      ->excludes(count);
  readCommand->add_option("--format", read.format, "text, json or csv")
      ->check(oneOf("--format", {"text", "json", "csv"}))
      ->capture_default_str();
  readCommand->add_option("--output,-o", read.output,
                          "write the records to this file, made 0600 and "
                          "emptied with the first card (default or -: stdout)");
  auto* idle =
      readCommand
          ->add_option("--idle", read.idleSeconds,
                       "seconds an encoder waits without a card read before "
                       "it stops (exit 3; failed reads do not count as "
                       "cards); 0: no limit (the default with --continuous)")
          ->check(wholeNumberFrom("--idle", 0))
          ->capture_default_str();
  long readRetries = 0;
  auto* readRetriesOption =
      readCommand
          ->add_option("--retries", readRetries,
                       "reads after a failed read before the program stops "
                       "(exit 3); 0: stop at the first (default: no limit)")
          ->check(wholeNumberFrom("--retries", 0));

  WriteOptions write;
  CardOptions writeCards;
  auto* writeCommand = app.add_subcommand(
      "write", "write one card, a counted batch or one card per CSV row");
  setExample(writeCommand,
             "quillon write --track2 0000000001 --increment 2:1 --count 20 "
             "--verify --journal batch.jsonl");
  addCardOptions(writeCommand, write, writeCards);
  writeCommand->add_flag("--verify", write.verify,
                         "read each card back and compare it byte for byte");
  writeCommand->add_option(
      "--journal", write.journal,
      "keep the batch in this file: a JSON line on storage before each "
      "card's write frame goes out, and one once the card is confirmed "
      "(mode 0600, one program at a time)");
  writeCommand->add_flag(
      "--resume", write.resume,
      "go on with the journal's batch: each card that may have been written "
      "is asked for again at its encoder and read (its texts confirm it, "
      "anything else has it written anew); then every card not confirmed");
  auto* writeBatch = writeCommand->add_option(
      "--batch", write.batch,
      "take the cards from this batch of the queue (quillon queue load), "
      "shared with every other station that writes it");
  for (auto* own : writeCards.all) own->excludes(writeBatch);
  writeCommand->add_option(
      "--station", write.station,
      "this station's name in the queue, one per machine (default: the "
      "host name and the start of the machine's id, as in host-3d1219c7)");
  writeCommand
      ->add_option("--format", write.format,
                   "the cards written, on stdout: text, or json (a line a "
                   "card: card, time, port, confirmed_by, tracks; also with "
                   "--quiet)")
      ->check(oneOf("--format", {"text", "json"}))
      ->capture_default_str();
  writeCommand
      ->add_option("--retries", write.retries,
                   "attempts after a failed or mismatched card, at the same "
                   "encoder, before it stops (exit 3); 0: stop at the first")
      ->check(wholeNumberFrom("--retries", 0))
      ->capture_default_str();
  QueueOptions queue;
  WriteOptions loadCards;
  CardOptions loadFields;
  auto* queueCommand = app.add_subcommand(
      "queue", "a batch shared by several stations, in PostgreSQL");
  setExample(queueCommand, "quillon queue status --batch spring");
  queueCommand->require_subcommand(1);
  queueCommand->fallthrough();
  app.add_option("--queue", queue.url,
                 "the queue's server, for write --batch and the queue "
                 "subcommands: a libpq connection string or postgresql:// "
                 "URI (default $QUILLON_QUEUE; a password comes from "
                 "~/.pgpass or PGPASSFILE, as libpq finds it)");
  auto* queueInit =
      queueCommand->add_subcommand("init", "make the queue's tables");
  setExample(queueInit, "quillon queue init --queue postgresql://db1/cards");
  auto* queueLoad = queueCommand->add_subcommand(
      "load", "add a batch to the queue, in one transaction");
  setExample(queueLoad,
             "quillon queue load --batch spring --track2 0000000001 "
             "--increment 2:1 --count 20000");
  auto* queueStatus = queueCommand->add_subcommand(
      "status", "cards per state, station and port, cards in doubt, rate");
  setExample(queueStatus, "quillon queue status --batch spring");
  auto* queueSettle = queueCommand->add_subcommand(
      "settle", "settle a card in doubt of a station that is gone");
  setExample(queueSettle,
             "quillon queue settle --batch spring --card 1234 written");
  auto* queueGrant = queueCommand->add_subcommand(
      "grant",
      "give a PostgreSQL role the rights of a loader (loads, settles, "
      "exports), a station (writes) or a watcher (counts, never track data)");
  setExample(queueGrant, "quillon queue grant station bureau_station");
  queueGrant->add_option("kind", queue.kind, "loader, station or watcher")
      ->required()
      ->check(oneOf("grant", {"loader", "station", "watcher"}));
  queueGrant->add_option("role", queue.role, "an existing role")->required();
  auto* queuePurge = queueCommand->add_subcommand(
      "purge", "remove the track texts of the batch's confirmed cards");
  setExample(queuePurge, "quillon queue purge --batch spring");
  std::vector<std::pair<CLI::App*, std::string>> batchStates;
  for (const auto& [action, help] :
       {std::pair{"pause", "stations stop claiming and wait"},
        std::pair{"resume", "stations of a paused batch claim again"},
        std::pair{"cancel", "stations end after their current card"}}) {
    auto* sub = queueCommand->add_subcommand(action, help);
    setExample(sub, std::string("quillon queue ") + action + " --batch spring");
    batchStates.emplace_back(sub, action);
  }
  auto* queueList =
      queueCommand->add_subcommand("list", "the batches, their counts, states");
  setExample(queueList, "quillon queue list");
  auto* queueShow = queueCommand->add_subcommand(
      "show", "where a card is: its state, station, port and times");
  setExample(queueShow, "quillon queue show --batch spring --card 1234");
  auto* queueExport = queueCommand->add_subcommand(
      "export", "every card's number, state, station, port and times");
  setExample(queueExport, "quillon queue export --batch spring --format csv");
  for (auto* sub : {queueLoad, queueStatus, queueSettle, queuePurge, queueShow,
                    queueExport}) {
    sub->add_option("--batch", queue.batch, "the batch's name")->required();
  }
  for (const auto& [sub, action] : batchStates)
    sub->add_option("--batch", queue.batch, "the batch's name")->required();
  for (auto* sub : {queueList, queueShow}) {
    sub->add_option("--format", queue.format, "text or json")
        ->check(oneOf("--format", {"text", "json"}))
        ->capture_default_str();
  }
  queueExport->add_option("--format", queue.format, "csv or json")
      ->required()
      ->check(oneOf("--format", {"csv", "json"}));
  queueShow->add_option("--card", queue.card, "the card's number")
      ->required()
      ->check(wholeNumberFrom("--card", 1));
  addCardOptions(queueLoad, loadCards, loadFields);
  queueStatus->add_option("--format", queue.format, "text or json")
      ->check(oneOf("--format", {"text", "json"}))
      ->capture_default_str();
  queueStatus->add_flag(
      "--watch", queue.watch,
      "redraw about once a second until the batch is done or Ctrl-C (a "
      "JSON line a refresh when standard output is no terminal)");
  queueSettle->add_option("--card", queue.card, "the card's number")
      ->required()
      ->check(wholeNumberFrom("--card", 1));
  queueSettle
      ->add_option("outcome", queue.outcome,
                   "written (the card holds it: confirmed) or unwritten (no "
                   "card holds it: written again)")
      ->required()
      ->check(oneOf("settle", {"written", "unwritten"}));

  // Set last: subcommands take the program's footer when they are made.
  app.footer(kFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitDone : kExitUsage;
  }
  writeCards.finish(write);
  write.quiet = loadCards.quiet = global.quiet;
  write.queue = queue.url;
  loadFields.finish(loadCards);
  if (!readRetriesOption->empty()) read.retries = readRetries;
  // A read until Ctrl-C waits for its next card as long as it takes.
  if (read.continuous && idle->empty()) read.idleSeconds = 0;

  if (ports->parsed()) return runPorts(global, portsFormat);
  if (queueInit->parsed()) return runQueueInit(global, queue);
  if (queueLoad->parsed()) return runQueueLoad(global, queue, loadCards);
  if (queueStatus->parsed()) return runQueueStatus(queue);
  if (queueSettle->parsed()) return runQueueSettle(global, queue);
  if (queueGrant->parsed()) return runQueueGrant(global, queue);
  if (queuePurge->parsed()) return runQueuePurge(global, queue);
  for (const auto& [sub, action] : batchStates) {
    if (sub->parsed()) return runQueueBatchState(global, queue, action);
  }
  if (queueList->parsed()) return runQueueList(queue);
  if (queueShow->parsed()) return runQueueShow(queue);
  if (queueExport->parsed()) return runQueueExport(queue);
  if (!write.batch.empty() && (!write.journal.empty() || write.resume)) {
    complain("--batch keeps the batch in the queue: no --journal or --resume");
    return kExitUsage;
  }
  if (const auto problem = portListProblem(global.ports); !problem.empty()) {
    complain(problem);
    return kExitUsage;
  }
  InterruptSource interrupt;
  if (!interrupt.install()) {
    complain("cannot watch for Ctrl-C");
    return kExitUsage;
  }
  if (test->parsed()) return runTest(global, interrupt);
  if (status->parsed()) return runStatus(global, interrupt);
  if (reset->parsed()) return runReset(global, interrupt);
  if (erase->parsed()) return runErase(global, interrupt, eraseTracks);
  if (coercivity->parsed())
    return runCoercivity(global, interrupt, coercivityLevel);
  if (densityCommand->parsed()) return runDensity(global, interrupt, density);
  if (readCommand->parsed()) return finish(runRead(global, interrupt, read));
  return finish(runWrite(global, interrupt, write));
}

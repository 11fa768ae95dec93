#include "run/options.h"

#include <algorithm>
#include <cstdint>

#include "core/output.h"
#include "listing/exclude.h"
#include "platform/platform.h"

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The number at the start of `text` read the way atoi reads it: leading
// blanks skipped, an optional sign, digits up to the first non-digit, 0 when
// there are none. Out-of-range values saturate as strtol does and keep their
// low 32 bits, as the conversion to int does.
std::uint32_t atoi_value(const char* text)
{
    while (is_blank(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    constexpr std::uint64_t limit = static_cast<std::uint64_t>(INT64_MAX);
    std::uint64_t value = 0;
    for (; is_digit(*text); ++text) {
        const std::uint64_t digit = static_cast<std::uint64_t>(*text - '0');
        value = value > (limit - digit) / 10 ? limit + (negative ? 1 : 0) : value * 10 + digit;
    }
    const std::uint64_t result = negative ? 0 - value : value;
    return static_cast<std::uint32_t>(result);
}

// More listing threads than this would only hold memory.
constexpr std::uint64_t MAX_WORKERS = 64;

// The decimal number at the start of `text`, 0 when there is none; one too
// large for 64 bits stands for no limit at all.
std::uint64_t count_value(const char* text)
{
    std::uint64_t value = 0;
    for (; is_digit(*text); ++text) {
        const std::uint64_t digit = static_cast<std::uint64_t>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

// Creates the log file now, so that a name that cannot be written stops the
// run before anything has been done.
void open_log(run_t& run, const char* name)
{
    run.log.name = name;
    if (const fs_error_t error = text_append(name, "", 0)) {
        show_error(run, "Impossibile aprire file di log '%s'\n", shown(name).c_str());
        print_error_line(run, name, error);
        proc_exit(1);
    }
    run.log.active = true;
}

// The size diagnostic. The three sizes are fixed figures that callers may
// compare, not this build's own: a listed name here has no fixed field, and
// a record is a fraction of 276 bytes.
[[noreturn]] void show_sizes(const run_t& run)
{
    show(run, SHOW_ALWAYS, "\n");
    show(run, SHOW_ALWAYS, "Buffer di copia %u bytes\n", run.settings.buffer_size);
    show(run, SHOW_ALWAYS, "Size dirent name   = %d\n", 256);
    show(run, SHOW_ALWAYS, "Size filelist name = %d\n", 256);
    show(run, SHOW_ALWAYS, "Size filelist_t    = %d\n", 276);
    proc_exit(0);
}

// Takes the letters of one option group, after its prefix, into `settings`
// (the run's own, being filled).
void parse_group(run_settings_t& settings, run_t& run, const char* group)
{
    for (const char* c = group; *c != '\0'; ++c) {
        switch (*c) {
        case 'i': settings.ignore_circular = true; break;
        case 'f': settings.force_copy = true; break;
        case 'p': settings.keep_extra = true; break;
        case 'n': settings.skip_new = true; break;
        case 'd': settings.needed_dirs_only = true; break;
        case 's': settings.dry_run = true; break;
        case 'j': {
            // The digits are consumed; none give the default, one or none
            // no threads beside the walk's own.
            const std::uint64_t count = is_digit(c[1]) ? count_value(c + 1) : DEFAULT_WORKERS;
            settings.workers = count <= 1 ? 0 : static_cast<unsigned>(std::min<std::uint64_t>(count, MAX_WORKERS));
            settings.workers_asked = is_digit(c[1]);
            while (is_digit(c[1]))
                ++c;
            break;
        }
        case 'c':
            // The digits are consumed; none give 0, which removes nothing.
            settings.removal_limit = count_value(c + 1);
            while (is_digit(c[1]))
                ++c;
            break;
        case 'e':
            // The digits are consumed, as for -c.
            settings.versions_days = count_value(c + 1);
            while (is_digit(c[1]))
                ++c;
            break;
        case 'k':
            settings.versions = std::string(c + 1);
            return;
        case 'm':
            if (is_digit(c[1]))
                settings.copy_mode = *++c - '0';
            break;
        case 'v':
            settings.verbosity = is_digit(c[1]) ? *++c - '0' : 1;
            break;
        case 'b':
            // The digits stay in the group and are skipped as letters, so a
            // letter after the number still acts.
            settings.buffer_size = atoi_value(c + 1);
            break;
        case 'l':
            open_log(run, c[1] != '\0' ? c + 1 : "calvento.log");
            return;
        case 'x':
            Exclude_arg(run, &run.exclude_all, c + 1);
            return;
        case 'X':
            Exclude_arg(run, &run.exclude_principal, c + 1);
            return;
        case 'h':
        case '?':
            show_usage(run);
        case '*':
            show_sizes(run);
        default:
            break;  // anything else is ignored without a word
        }
    }
}

}  // namespace

int parse_options(int argc, char** argv, run_settings_t& settings, run_t& run)
{
    int index = 1;
    for (; index < argc && is_option_prefix(argv[index][0]); ++index)
        parse_group(settings, run, argv[index] + 1);
    return index;
}

void show_usage(const run_t& run)
{
    show(run, SHOW_ALWAYS, "\ncalvento [opzionie(i)] sorg dest\n");
    show(run, SHOW_ALWAYS, "\tsorg dest Directory sorgente/destinazione\n");
    show(run, SHOW_ALWAYS, "\t-i\tIgnora controllo copia circolare\n");
    show(run, SHOW_ALWAYS, "\t-f\tForza copia dei files\n");
    show(run, SHOW_ALWAYS, "\t-p\tNon cancella file non presenti\n");
    show(run, SHOW_ALWAYS, "\t-n\tNon copia i file nuovi\n");
    show(run, SHOW_ALWAYS, "\t-mx\tSetta modo (default 0)\n");
    show(run, SHOW_ALWAYS, "\t\t0 - Copia solo i file con data o ampiezza diversa\n");
    show(run, SHOW_ALWAYS, "\t\t1 - Copia solo i file con data superiore\n");
    show(run, SHOW_ALWAYS, "\t\t2 - Copia solo i file con data superiore o uguale\n");
    show(run, SHOW_ALWAYS, "\t\t3 - Copia in una directory che si chiama dest\\AAAAMMGG\n");
    show(run, SHOW_ALWAYS, "\t\t    tutti i file presenti in 'sorg' che hanno la data del\n");
    show(run, SHOW_ALWAYS, "\t\t    giorno.\n");
    show(run, SHOW_ALWAYS, "\t-d\tCrea solo le directory necessarie\n");
    show(run, SHOW_ALWAYS, "\t  \tserve solo congiuntamente alla opzione -m3\n");
    show(run, SHOW_ALWAYS, "\t-vx\tSetta il livello di display a x (0=min,9=max,def=1)\n");
    show(run, SHOW_ALWAYS, "\t-lname\tSetta file di log a name (default no log)\n");
    show(run, SHOW_ALWAYS, "\t-xname\tEsclude il file name\n");
    show(run, SHOW_ALWAYS, "\t-Xname\tEsclude il file name dalla directory principale\n");
    show(run, SHOW_ALWAYS, "\t-bn\tImposta ampiezza buffer (default %d)\n", static_cast<int>(run.settings.buffer_size));
    show(run, SHOW_ALWAYS, "\tname\tSe preceduto da @ e' il nome di un file testo contenente\n");
    show(run, SHOW_ALWAYS, "\t\ti nomi dei file che si desidera specificare.\n");
    show(run, SHOW_ALWAYS, "\t-s\tSimula: mostra cosa farebbe senza modificare nulla\n");
    show(run, SHOW_ALWAYS, "\t-cn\tCancella al massimo n tra file e directory\n");
    show(run, SHOW_ALWAYS, "\t-kname\tConserva in name i file cancellati o sostituiti\n");
    show(run, SHOW_ALWAYS, "\t-en\tElimina le versioni conservate da piu' di n giorni\n");
    show(run, SHOW_ALWAYS, "\tPremere un tasto per continuare");
    con_flush();
    con_read_key();
    proc_exit(1);
}

// Loaded into corvane-upload with LD_PRELOAD: the ALSA sequencer refuses every event after the
// first CORVANE_REFUSE_SEND_AFTER, as it does when its memory pool is spent, so the MIDI library
// reports a send that did not go out.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>

extern "C" int snd_seq_event_output(snd_seq_t *seq, snd_seq_event_t *event)
{
    using Output = int (*)(snd_seq_t *, snd_seq_event_t *);
    static const Output real = reinterpret_cast<Output>(dlsym(RTLD_NEXT, "snd_seq_event_output"));
    static int sent = 0;
    const char *after = std::getenv("CORVANE_REFUSE_SEND_AFTER");
    if (after && ++sent > std::atoi(after))
        return -ENOMEM;
    return real(seq, event);
}

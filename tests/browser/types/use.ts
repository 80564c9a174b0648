// A map developer's typed use of the client, both ways of loading it. It
// must compile, and each @ts-expect-error line must fail to: types too
// loose fail here as types too strict do.
/// <reference path="../../../examples/simrelay-client.d.ts" />
import imported, { connectSimrelay as named } from "../../../examples/simrelay-client.mjs";

const link: SimrelayLink = connectSimrelay("http://127.0.0.1:49080", {
  onSnapshot(snapshot) {
    if (snapshot.xp && snapshot.lat !== undefined) console.log(snapshot.lat.toFixed(5));
  },
  onLost(reason) {
    const known: Record<SimrelayReason, string> = {
      asking: "", blocked: "", "https-needed": "", held: "", unreachable: "",
    };
    console.log(known[reason]);
  },
  onMode: (mode: SimrelayMode) => console.log(mode),
  start: false,
});
connectSimrelay.permission().then((state: SimrelayPermission) => (state === "prompt" ? undefined : link.start()));
const shown: [SimrelayMode | null, SimrelayReason | null, number | undefined, string] =
  [link.mode, link.reason, link.snapshot?.t, connectSimrelay.version];
console.log(shown);
link();
named(new URL("http://127.0.0.1:49080/bridge"))();
imported("http://127.0.0.1:49080", {})();

// @ts-expect-error a link's state is read-only
link.mode = "stream";
// @ts-expect-error no such reason
const unknownReason: SimrelayReason = "offline";
// @ts-expect-error the address is required
connectSimrelay();
// @ts-expect-error a snapshot's values are numbers
connectSimrelay("http://127.0.0.1:49080", { onSnapshot: (s) => s.lat?.toUpperCase() });
console.log(unknownReason);

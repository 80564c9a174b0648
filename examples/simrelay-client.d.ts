/**
 * Follows the bridge at `bridge` (http or https, with a path if it is
 * served under one).
 * @param {string | URL} bridge
 * @param {SimrelayOptions} [options]
 * @returns {SimrelayLink}
 */
declare function connectSimrelay(bridge: string | URL, options?: SimrelayOptions): SimrelayLink;
declare namespace connectSimrelay {
    let version: string;
    /**
     * Whether connecting would make the browser ask the user; asks the bridge
     * nothing.
     * @returns {Promise<SimrelayPermission>}
     */
    function permission(): Promise<SimrelayPermission>;
}
/**
 * A snapshot as the bridge sends it: `{xp: false}` while X-Plane is not
 * live; each value only once X-Plane has sent it.
 */
type SimrelaySnapshot = {
    /**
     * whether X-Plane is live
     */
    xp: boolean;
    /**
     * when the last data arrived, ms since 1970 by the bridge PC's clock
     */
    t?: number | undefined;
    /**
     * latitude, degrees
     */
    lat?: number | undefined;
    /**
     * longitude, degrees
     */
    lon?: number | undefined;
    /**
     * elevation above sea level, metres
     */
    alt?: number | undefined;
    /**
     * true heading, degrees
     */
    hdg?: number | undefined;
    /**
     * ground speed, metres per second
     */
    gs?: number | undefined;
    /**
     * indicated airspeed, knots
     */
    ias?: number | undefined;
    /**
     * vertical speed, feet per minute
     */
    vs?: number | undefined;
    /**
     * height above ground, metres
     */
    agl?: number | undefined;
};
type SimrelayReason = "asking" | "blocked" | "https-needed" | "held" | "unreachable";
type SimrelayMode = "stream" | "polling";
type SimrelayPermission = "prompt" | "granted" | "denied" | "not-gated" | "unknown";
type SimrelayOptions = {
    onSnapshot?: ((snapshot: SimrelaySnapshot) => void) | undefined;
    onLost?: ((reason: SimrelayReason) => void) | undefined;
    onMode?: ((mode: SimrelayMode) => void) | undefined;
    /**
     * false: send nothing until start() is called
     */
    start?: boolean | undefined;
};
/**
 * Stops the link when called; reads its state through its properties.
 */
type SimrelayLinkState = {
    /**
     * starts a link made with start: false
     */
    start: () => void;
    /**
     * the mode last reported, null before the first
     */
    mode: SimrelayMode | null;
    /**
     * the reason last reported, null while snapshots come
     */
    reason: SimrelayReason | null;
    /**
     * the snapshot last handed over
     */
    snapshot: SimrelaySnapshot | null;
};
/**
 * Stops the link when called; reads its state through its properties.
 */
type SimrelayLink = (() => void) & Readonly<SimrelayLinkState>;

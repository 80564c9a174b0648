// simrelay-client.mjs: simrelay-client.js for module pages and bundlers.
//   import { connectSimrelay } from "./simrelay-client.mjs";
// Module pages do not load from disk (file://): there, use
// <script src="simrelay-client.js"> instead.
import "./simrelay-client.js";

/** @type {typeof globalThis.connectSimrelay} */
export const connectSimrelay = globalThis.connectSimrelay;
export default connectSimrelay;

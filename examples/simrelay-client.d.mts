// The types of simrelay-client.mjs: those of simrelay-client.js, exported.
/// <reference path="./simrelay-client.d.ts" />
export declare const connectSimrelay: typeof globalThis.connectSimrelay;
export default connectSimrelay;

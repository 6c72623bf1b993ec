// Links the dock offers; OBS opens them in the system browser (open_url), never the page itself.
// The build writes the service's site origin in place of the marker.
const SITE = '__VELMORA_SITE_ORIGIN__';

export const LINKS = {
  download: `${SITE}/download`,
  help: `${SITE}/help`,
  site: SITE,
  twitch: 'https://dashboard.twitch.tv/',
  youtube: 'https://studio.youtube.com/',
};
